#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <ostream>
#include <string>

#include "agent_fixture.h"

using namespace std::chrono_literals;

namespace {

// Adapters as they are sold, each played by a simulator profile, on the real binary: the
// adapter is found, every answer comes back whole, and no byte of one answer shows up in the
// next (the simulator counts a command sent before its previous prompt as interleaved).
struct AdapterRow {
  const char* label;
  AdapterProfile profile;
  std::string commands;                       // the request's command object
  std::map<std::string, std::string> exact;   // results that must be exactly this
  std::map<std::string, std::string> within;  // results that must hold this text
  std::string discovered = "ELM327 v1.5 on COM3";
};

void PrintTo(const AdapterRow& row, std::ostream* os) {
  *os << row.label;
}

class RealAdapters : public AgentFixture, public ::testing::WithParamInterface<AdapterRow> {
 protected:
  // The results object of the only RESPONSE.
  nlohmann::json OnlyResults() {
    const auto responses = Received("RESPONSE");
    EXPECT_EQ(responses.size(), 1u);
    if (responses.size() != 1u) return nullptr;
    EXPECT_EQ(responses[0].error, "");  // a strict reader takes the whole message
    return nlohmann::json::parse(responses[0].parsed["response"].get<std::string>());
  }
};

TEST_P(RealAdapters, FoundAndEveryAnswerWhole) {
  const AdapterRow& row = GetParam();
  AttachAdapter(3, row.profile);
  StartAgent();
  ASSERT_TRUE(Get("/AC/s1"));
  const auto reports = Received("INTERFACE_CHECK");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].parsed["discovered"], row.discovered);

  nlohmann::json request = {{"id", 1}, {"command", row.commands}};
  stub_.Enqueue("s1", request.dump());
  ASSERT_TRUE(Get("/RQ/s1"));
  const nlohmann::json results = OnlyResults();
  for (const auto& [key, text] : row.exact) EXPECT_EQ(results.value(key, ""), text) << key;
  for (const auto& [key, text] : row.within) {
    const std::string got = results.value(key, "");
    EXPECT_NE(got.find(text), std::string::npos) << key << ": " << got;
    EXPECT_EQ(got.find("STOPPED"), std::string::npos) << key << ": " << got;
  }
  EXPECT_EQ(adapter_->InterleavedCommands(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, RealAdapters,
    ::testing::Values(
        AdapterRow{"BusyUntilPrompt",
                   AdapterProfile::kBusy,
                   R"({"01":"0100","02":"ATRV"})",
                   {{"02", "12.6V"}},
                   {{"01", "41 00"}}},
        AdapterRow{"MultiEcuMode03ThenPid",
                   AdapterProfile::kMultiEcu,
                   R"({"01":"03","02":"0101"})",
                   {},
                   {{"01", "43 03 07 00 07 01 07 02"}, {"02", "41 01"}}},
        AdapterRow{"UsbPacketsMode06ThenPid",
                   AdapterProfile::kUsb,
                   R"({"01":"0601","02":"010C"})",
                   {},
                   {{"01", "46 01"}, {"02", "41 0C"}}},
        AdapterRow{"ResponsePendingThenVoltage",
                   AdapterProfile::kPending,
                   R"({"01":"0100","02":"ATRV"})",
                   {{"02", "12.6V"}},
                   {{"01", "7F 01 78"}}},
        AdapterRow{"BusInitDots",
                   AdapterProfile::kBusInit,
                   R"({"01":"0100","02":"ATRV"})",
                   {{"02", "12.6V"}},
                   {{"01", "BUS INIT"}}},
        // Line feeds stay, in the answers and in the banner.
        AdapterRow{"CrLfClone",
                   AdapterProfile::kCrLf,
                   R"({"01":"ATRV","02":"ATI"})",
                   {{"01", "\n12.6V\n\n"}, {"02", "\nELM327 v1.5\n\n"}},
                   {},
                   "\n\n\nELM327 v1.5\n\n on COM3"},
        AdapterRow{"EchoLeftOffThenAte0",
                   AdapterProfile::kEchoOff,
                   R"({"01":"ATE0","02":"0100","03":"ATRV"})",
                   {{"01", "OK"}, {"03", "12.6V"}},
                   {{"02", "41 00 BE 3F A8 13"}}},
        AdapterRow{"NulBeforeAnswers",
                   AdapterProfile::kNul,
                   R"({"01":"ATRV","02":"ATI"})",
                   {{"01", "12.6V"}, {"02", "ELM327 v1.5"}},
                   {}},
        AdapterRow{
            "OnlyAt9600", AdapterProfile::kBaud9600, R"({"01":"ATRV"})", {{"01", "12.6V"}}, {}},
        AdapterRow{"OnlyAt115200",
                   AdapterProfile::kBaud115200,
                   R"({"01":"ATRV"})",
                   {{"01", "12.6V"}},
                   {}}),
    [](const ::testing::TestParamInfo<AdapterRow>& info) { return info.param.label; });

// Unplugged during a series: the rest of that repetition gets "ERROR" at once, the series
// ends, the next relay logs the disconnect and posts nothing, and a check finds it again.
class Unplugged : public AgentFixture {};

TEST_F(Unplugged, SeriesEndsAndTheNextCheckFindsTheAdapter) {
  AttachAdapter(3, AdapterProfile::kUnplug);  // gone at its ninth command
  StartAgent();
  ASSERT_TRUE(Get("/AC/s1"));  // one reset command
  stub_.Enqueue("s1",
                R"({"id": 2, "command": "{\"01\":\"ATRV\",\"02\":\"0100\",\"03\":\"ATI\"}"})");

  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Get("/RMQ/s1"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);  // not 10 s per lost command
  const auto responses = Received("RESPONSE");
  ASSERT_EQ(responses.size(), 3u);  // commands 2 to 8 answered, the ninth unplugs it
  const auto last = nlohmann::json::parse(responses[2].parsed["response"].get<std::string>());
  EXPECT_EQ(last.value("01", ""), "12.6V");
  EXPECT_EQ(last.value("03", ""), "ERROR");

  const std::size_t fetches = Received("GET_REQUEST").size();
  ASSERT_TRUE(Get("/RQ/s1"));
  EXPECT_EQ(Received("GET_REQUEST").size(), fetches);
  EXPECT_NE(EventLog().find(": Unhandled disconnect condition. Please restart session.\n"),
            std::string::npos);

  AttachAdapter(3, AdapterProfile::kElm);  // plugged in again
  ASSERT_TRUE(Get("/AC/s1"));
  EXPECT_EQ(Received("INTERFACE_CHECK").size(), 2u);
  stub_.Enqueue("s1", R"({"id": 3, "command": "{\"01\":\"ATRV\"}"})");
  ASSERT_TRUE(Get("/RQ/s1"));
  const auto after = Received("RESPONSE");
  ASSERT_EQ(after.size(), 4u);
  EXPECT_EQ(nlohmann::json::parse(after[3].parsed["response"].get<std::string>()).value("01", ""),
            "12.6V");
}

}  // namespace
