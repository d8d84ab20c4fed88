// The portable half of the BLE link: which characteristics carry the adapter's text, which
// devices are candidates, and the byte stream between the notifications and the reads.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "adapter/ble_gatt.h"
#include "adapter/ble_stream.h"
#include "base/stop_token.h"

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

constexpr BleCharacteristicFlags kNotify{.notify = true};
constexpr BleCharacteristicFlags kWrite{.write = true};
constexpr BleCharacteristicFlags kWriteCommand{.writeWithoutResponse = true};
constexpr BleCharacteristicFlags kBoth{.notify = true, .write = true, .writeWithoutResponse = true};
constexpr BleCharacteristicFlags kIndicate{.indicate = true};

constexpr const char* kE781 = "E7810A71-73AE-499D-8C15-FAA9AEF0C3F2";
constexpr const char* kBef8 = "BEF8D6C9-9C21-4C9E-B632-BD58C1009F9F";

struct ChannelCase {
  const char* name;
  std::vector<BleService> services;
  bool found;
  const char* notify;
  const char* write;
  BleWriteType type;
};

TEST(BleChannel, ChosenByTheTableThenByFlags) {
  const std::string gattFff0 = "0000fff0-0000-1000-8000-00805f9b34fb";
  const ChannelCase cases[] = {
      {"fff0 by the table",
       {{"FFF0", {{"fff2", "w", kWriteCommand}, {"fff1", "n", kNotify}, {"fff3", "x", kBoth}}}},
       true,
       "n",
       "w",
       BleWriteType::kCommand},
      {"ffe0, one characteristic both ways",
       {{"0000ffe0-0000-1000-8000-00805f9b34fb", {{"FFE1", "c", kBoth}}}},
       true,
       "c",
       "c",
       BleWriteType::kCommand},
      {"18f0 writes with response when that is all it has",
       {{"18f0", {{"2af0", "n", kNotify}, {"2af1", "w", kWrite}}}},
       true,
       "n",
       "w",
       BleWriteType::kRequest},
      {"e781 in either case",
       {{kE781, {{kBef8, "c", kBoth}}}},
       true,
       "c",
       "c",
       BleWriteType::kCommand},
      {"the table's order wins over the device's order",
       {{"ffe0", {{"ffe1", "e", kBoth}}},
        {gattFff0, {{"fff1", "n", kNotify}, {"fff2", "w", kWrite}}}},
       true,
       "n",
       "w",
       BleWriteType::kRequest},
      {"a known service with other characteristics: by flags",
       {{"fff0", {{"fff7", "n", kIndicate}, {"fff8", "w", kWriteCommand}}}},
       true,
       "n",
       "w",
       BleWriteType::kCommand},
      {"a table characteristic without the flag it needs: by flags",
       {{"fff0", {{"fff1", "n", kWrite}, {"fff2", "w", kWrite}, {"fff4", "m", kNotify}}}},
       true,
       "m",
       "n",
       BleWriteType::kRequest},
      {"an unknown service by flags, the standard ones never",
       {{"1801", {{"2a05", "sc", kIndicate}}},
        {"180a", {{"2a29", "maker", kWrite}}},
        {"49535343-fe7d-4ae5-8fa9-9fafd205e455", {{"49535343-1e4d", "u", kBoth}}}},
       true,
       "u",
       "u",
       BleWriteType::kCommand},
      {"only standard services",
       {{"1801", {{"2a05", "sc", kIndicate}}}, {"180a", {{"2a29", "m", kWrite}}}},
       false,
       "",
       "",
       BleWriteType::kCommand},
      {"notify without write",
       {{"fff0", {{"fff1", "n", kNotify}}}},
       false,
       "",
       "",
       BleWriteType::kCommand},
      {"no services", {}, false, "", "", BleWriteType::kCommand},
  };
  for (const ChannelCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<BleChannel> channel = ChooseBleChannel(c.services);
    ASSERT_EQ(channel.has_value(), c.found);
    if (!c.found) continue;
    EXPECT_EQ(channel->notifyHandle, c.notify);
    EXPECT_EQ(channel->writeHandle, c.write);
    EXPECT_EQ(channel->writeType, c.type);
  }
}

TEST(BleCandidate, KnownServicesAndAdapterNames) {
  struct Case {
    const char* text;
    bool service;
    bool name;
  };
  const Case cases[] = {
      {"0000fff0-0000-1000-8000-00805f9b34fb", true, false},
      {"FFE0", true, false},
      {"000018F0-0000-1000-8000-00805F9B34FB", true, false},
      {kE781, true, false},
      {"0000180a-0000-1000-8000-00805f9b34fb", false, false},
      {"OBDII", false, true},
      {"Vgate iCar Pro elm327", false, true},
      {"V-LINK", false, true},
      {"vlink", false, false},
      {"Pixel 7", false, false},
      {"", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(IsKnownAdapterService(c.text), c.service);
    EXPECT_EQ(HasAdapterName(c.text), c.name);
  }
  EXPECT_EQ(KnownAdapterServices().size(), 4u);
  EXPECT_EQ(KnownAdapterServices()[3], "e7810a71-73ae-499d-8c15-faa9aef0c3f2");
}

TEST(BleWrite, ChunksOfAtMostTwentyEachAfterTheOneBefore) {
  struct Case {
    std::size_t length;
    std::vector<std::size_t> chunks;
  };
  const Case cases[] = {{0, {}}, {4, {4}}, {20, {20}}, {21, {20, 1}}, {45, {20, 20, 5}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    std::string text;
    for (std::size_t i = 0; i < c.length; ++i) text += static_cast<char>('a' + i % 26);
    std::vector<std::size_t> seen;
    std::string joined;
    EXPECT_TRUE(
        WriteInChunks(text.data(), text.size(), kBleChunkBytes, Deadline::After(1s), {},
                      [&](const char* data, std::size_t n, const Deadline&, const StopToken&) {
                        seen.push_back(n);
                        joined.append(data, n);
                        return true;
                      }));
    EXPECT_EQ(seen, c.chunks);
    EXPECT_EQ(joined, text);
  }
}

TEST(BleWrite, EndsAtTheFirstRefusalTheDeadlineOrTheStop) {
  const std::string text(50, 'x');
  StopSource stopped;
  stopped.RequestStop();
  struct Case {
    const char* name;
    int refuseAt;  // -1: none
    Deadline deadline;
    StopToken stop;
    int calls;
  };
  const Case cases[] = {
      {"refused second chunk", 1, Deadline::After(1s), {}, 2},
      {"deadline passed", -1, Deadline::After(-1ms), {}, 0},
      {"stopped", -1, Deadline::After(1s), stopped.Token(), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int calls = 0;
    EXPECT_FALSE(WriteInChunks(text.data(), text.size(), kBleChunkBytes, c.deadline, c.stop,
                               [&](const char*, std::size_t, const Deadline&, const StopToken&) {
                                 return calls++ != c.refuseAt;
                               }));
    EXPECT_EQ(calls, c.calls);
  }
}

// Notifications split anywhere come out as one stream, each read taking what is there.
TEST(BleRead, NotificationsAreOneByteStream) {
  BleByteQueue queue;
  const std::vector<std::string> notifications = {"0902\r014\r0: 49 02 01 3", "1 53 49\r>", ""};
  std::size_t next = 0;
  int pumps = 0;
  const BlePump pump = [&](const Deadline&, const StopToken&) {
    ++pumps;
    if (next >= notifications.size()) return false;
    const std::string& n = notifications[next++];
    queue.Push(reinterpret_cast<const unsigned char*>(n.data()), n.size());
    return true;
  };
  std::string got;
  char buffer[16];
  for (;;) {
    const std::size_t n = ReadNotified(queue, buffer, sizeof buffer, Deadline::After(1s), {}, pump);
    if (n == 0) break;
    got.append(buffer, n);
  }
  EXPECT_EQ(got, "0902\r014\r0: 49 02 01 31 53 49\r>");
  EXPECT_EQ(pumps, 4);  // one per notification, the empty one included, and the one that ended
}

TEST(BleRead, WaitsOnlyWhileNothingIsThere) {
  StopSource stopped;
  stopped.RequestStop();
  struct Case {
    const char* name;
    std::string queued;
    Deadline deadline;
    StopToken stop;
    std::string read;
    int pumps;
  };
  const Case cases[] = {
      {"bytes there: no wait", "OK", Deadline::After(1s), {}, "OK", 0},
      {"deadline passed: what is there", "", Deadline::After(-1ms), {}, "", 0},
      {"stopped: no wait", "", Deadline::After(1s), stopped.Token(), "", 0},
      {"nothing comes: pumped until it gives up", "", Deadline::After(1s), {}, "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BleByteQueue queue;
    queue.Push(reinterpret_cast<const unsigned char*>(c.queued.data()), c.queued.size());
    int pumps = 0;
    char buffer[8];
    const std::size_t n =
        ReadNotified(queue, buffer, sizeof buffer, c.deadline, c.stop,
                     [&](const Deadline&, const StopToken&) { return ++pumps < 0; });
    EXPECT_EQ(std::string(buffer, n), c.read);
    EXPECT_EQ(pumps, c.pumps);
  }
}

TEST(BleRead, QueueKeepsItsBoundAndCountsWhatItDropped) {
  BleByteQueue queue(8);
  const std::string text = "0123456789";
  queue.Push(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  char buffer[16];
  EXPECT_EQ(std::string(buffer, queue.Take(buffer, sizeof buffer)), "01234567");
  EXPECT_EQ(queue.Dropped(), 2u);
  EXPECT_TRUE(queue.Empty());
}

}  // namespace
