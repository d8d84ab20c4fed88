#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diagnose/diagnose_checks.h"
#include "diagnose/diagnose_text.h"

namespace morvanix {
namespace {

TEST(DiagnosePrintable, EscapesEveryByteOutsidePrintableAscii) {
  const struct {
    std::string bytes;
    std::string shown;
  } cases[] = {
      {"ATZ\r\rELM327 v1.5\r\r>", "ATZ\\r\\rELM327 v1.5\\r\\r>"},
      {std::string(1, '\0') + "41 00\n", "\\x0041 00\\n"},
      {"a\\b\tc", "a\\\\b\\tc"},
      {"\x7f\xff\xc3\xa9", "\\x7f\\xff\\xc3\\xa9"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Printable(c.bytes), c.shown) << c.shown;
  EXPECT_EQ(FormatCheckLine({Verdict::kFail, "C:\\x\r"}), "FAIL  C:\\x\\r");
}

constexpr char kTcp[] =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n"
    "   0: 0100007F:1F86 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 "
    "111 1 0\n"
    "   1: 0100007F:1F86 0100007F:9C40 01 00000000:00000000 00:00000000 00000000  1000        0 "
    "222 1 0\n"
    "   2: 00000000:1F86 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 "
    "333 1 0\n"
    "   3: 0200007F:1F86 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 "
    "444 1 0\n"
    "   4: 0100007F:1F87 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0        0 "
    "555 1 0\n"
    "   5: garbage\n";
constexpr char kTcp6[] =
    "  sl  local_address                         remote_address                        st tx_queue "
    "rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
    "   0: 00000000000000000000000000000000:1F86 00000000000000000000000000000000:0000 0A "
    "00000000:00000000 00:00000000 00000000     0        0 666 1 0\n"
    "   1: 00000000000000000000000001000000:1F86 00000000000000000000000000000000:0000 0A "
    "00000000:00000000 00:00000000 00000000     0        0 777 1 0\n"
    "   2: 0000000000000000FFFF00000100007F:1F86 00000000000000000000000000000000:0000 0A "
    "00000000:00000000 00:00000000 00000000     0        0 888 1 0\n";

TEST(DiagnoseProcNet, FindsTheListenersThatKeepTheAgentFromBinding) {
  // Loopback and wildcard listeners count; a connection, 127.0.0.2, another port, ::1 do not.
  EXPECT_EQ(ListeningInodes(kTcp, 8070, false), (std::vector<std::uint64_t>{111, 333}));
  EXPECT_EQ(ListeningInodes(kTcp6, 8070, true), (std::vector<std::uint64_t>{666, 888}));
  EXPECT_TRUE(ListeningInodes("", 8070, false).empty());

  const struct {
    const char* link;
    std::uint64_t inode;
  } links[] = {{"socket:[12345]", 12345}, {"socket:[]", 0}, {"socket:[12a]", 0},
               {"pipe:[12345]", 0},       {"/dev/null", 0}, {"socket:[7", 0}};
  for (const auto& l : links) EXPECT_EQ(SocketInode(l.link), l.inode) << l.link;
}

TEST(DiagnoseSerial, NamesEachVerdict) {
  PortProbe adapter{ProbeVerdict::kAdapter, "ATZ\r\r\rELM327 v1.5\r\r>", 9600, "ELM327 v1.5", ""};
  PortProbe busy{ProbeVerdict::kBusy, "", 38400, "", "Device or resource busy"};
  PortProbe closed{ProbeVerdict::kCannotOpen, "", 38400, "", "Permission denied"};
  PortProbe junk{ProbeVerdict::kNotAdapter, "\r\nOK\r\n", 38400, "", ""};
  const struct {
    int number;
    PortProbe probe;
    Verdict verdict;
    std::string text;
  } cases[] = {
      {3, adapter, Verdict::kOk,
       "COM3 (dev): adapter \"ELM327 v1.5\" at 9600 baud; answered "
       "\"ATZ\\r\\r\\rELM327 v1.5\\r\\r>\""},
      {17, adapter, Verdict::kOk,
       "COM17 (dev): adapter \"ELM327 v1.5\" at 9600 baud; answered "
       "\"ATZ\\r\\r\\rELM327 v1.5\\r\\r>\""},
      {1, busy, Verdict::kNote,
       "COM1 (dev): busy (held by another program, probably the running agent)"},
      {2, closed, Verdict::kNote, "COM2 (dev): cannot be opened: Permission denied"},
      {4, junk, Verdict::kNote,
       "COM4 (dev): answers but is not an adapter; answered \"\\r\\nOK\\r\\n\" at 38400 baud"},
  };
  for (const auto& c : cases) {
    const CheckLine line = SerialProbeLine({c.number, "dev"}, c.probe);
    EXPECT_EQ(line.verdict, c.verdict) << c.text;
    EXPECT_EQ(line.text, c.text);
  }
}

TEST(DiagnoseNetwork, NamedWifiAndBleAdaptersWithoutBaudRates) {
  PortProbe adapter{ProbeVerdict::kAdapter, "ATZ\rOBDII v1.5\r>", 38400, "OBDII v1.5", ""};
  PortProbe refused{ProbeVerdict::kCannotOpen, "", 38400, "", "Connection refused"};
  const NamedAdapter tcp{"tcp://10.0.0.5:35000", "tcp://10.0.0.5:35000", true};
  const NamedAdapter com{"COM7", "\\\\.\\COM7", false};
  const NamedAdapter ble{"ble:00:1d:a5:68:98:8a", "ble:00:1D:A5:68:98:8A", false, true};
  PortProbe silent{ProbeVerdict::kSilent, "", 38400, "", ""};
  const struct {
    CheckLine line;
    Verdict verdict;
    std::string text;
  } cases[] = {
      {NamedAdapterLine(tcp, adapter), Verdict::kOk,
       "MORVANIX_ADAPTER tcp://10.0.0.5:35000 (tried first): adapter \"OBDII v1.5\"; answered "
       "\"ATZ\\rOBDII v1.5\\r>\""},
      {NamedAdapterLine(tcp, refused), Verdict::kFail,
       "MORVANIX_ADAPTER tcp://10.0.0.5:35000 (tried first): no connection: Connection refused"},
      {NamedAdapterLine(com, refused), Verdict::kFail,
       "MORVANIX_ADAPTER COM7 (tried first): cannot be opened: Connection refused"},
      {WifiAdapterLine(refused), Verdict::kNote,
       "Wi-Fi adapter 192.168.0.10:35000: no connection: Connection refused"},
      {WifiNetworkLine({0x7F000001, 0xC0A80002}), Verdict::kNote,
       "Wi-Fi: this computer has 192.168.0.2 on 192.168.0.0/24, so the agent tries "
       "192.168.0.10:35000"},
      {WifiNetworkLine({0x7F000001, 0xC0A80102}), Verdict::kNote,
       "Wi-Fi: no address in 192.168.0.0/24 (not joined to a Wi-Fi adapter's access point), so "
       "the agent does not try 192.168.0.10:35000"},
      {NamedAdapterLine(ble, adapter), Verdict::kOk,
       "MORVANIX_ADAPTER ble:00:1d:a5:68:98:8a (tried first): adapter \"OBDII v1.5\"; answered "
       "\"ATZ\\rOBDII v1.5\\r>\""},
      {BleProbeLine({"00:1D:A5:68:98:8A", "OBDII"}, adapter), Verdict::kOk,
       "BLE 00:1D:A5:68:98:8A \"OBDII\": adapter \"OBDII v1.5\"; answered \"ATZ\\rOBDII "
       "v1.5\\r>\""},
      {BleProbeLine({"00:1D:A5:00:00:01", ""}, silent), Verdict::kNote,
       "BLE 00:1D:A5:00:00:01: silent"},
      {BleStackLine(false, 0), Verdict::kNote,
       "Bluetooth LE: no Bluetooth stack to ask (Linux: BlueZ on the system bus; Windows: "
       "BluetoothApis.dll and a paired LE device), so the agent tries no BLE adapter"},
      {BleStackLine(true, 0), Verdict::kNote,
       "Bluetooth LE: no known device with an adapter's service or name (on Linux the agent "
       "also scans for up to 4 s; this program does not)"},
      {BleStackLine(true, 2), Verdict::kNote,
       "Bluetooth LE: 2 known devices with an adapter's service or name"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.line.verdict, c.verdict) << c.text;
    EXPECT_EQ(c.line.text, c.text);
  }
}

TEST(DiagnoseSummary, NamesTheSideThatFails) {
  const struct {
    Findings findings;
    std::string sentence;
  } cases[] = {
      {{"COM3", 0, true, true, "h:80"},
       "Ready: the adapter answers on COM3, and the remote server h:80 is reachable."},
      {{"", 0, false, true, "h:80"},
       "Not ready: no adapter on the serial side, no serial device is present, and the remote "
       "server h:80 is reachable."},
      {{"", 2, true, false, "h:80"},
       "Not ready: no adapter could be probed on the serial side, COM2 is busy (probably held by "
       "the running agent: stop it and run this again), and the remote server h:80 cannot be "
       "reached."},
      {{"", 0, true, true, "h:80"},
       "Not ready: no adapter answers on the serial side, and the remote server h:80 is "
       "reachable."},
      {{"192.168.0.10:35000", 0, false, true, "h:80"},
       "Ready: the adapter answers on 192.168.0.10:35000, and the remote server h:80 is "
       "reachable."},
  };
  for (const auto& c : cases) EXPECT_EQ(SummarySentence(c.findings), c.sentence);
}

}  // namespace
}  // namespace morvanix
