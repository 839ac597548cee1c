// The plan of a multiplex: a plan with every key read into its values; every kind of fault
// as the exact line the operator sees; the services' PID blocks.
#include "plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace palvex_host {
namespace {

const char kGood[] = R"(# A head-end's plan
muxrate = "15M"
output = "udp://239.1.1.1:5000"
transport_stream_id = 7
original_network_id = 0xFF01
network_id = 0x3001
network_name = "Acme cable"
provider = "Acme"
lead = 0.5
http = "127.0.0.1:8080"
pacing_window = "0.5ms"

[[service]]
input = "udp://127.0.0.1:6000"
service_id = 101
name = "News 24"
provider = "Acme News"
lcn = 1
map = ["v", "a:0"]
pmt_pid = 0x1010
first_pid = 0x1011

[[service]]
input = "radio.ts"
service_id = 102
service_type = 0x0A
)";

TEST(PlanTest, EveryKeyRead) {
  Plan plan;
  std::string error;
  ASSERT_TRUE(ReadPlanText(kGood, "head.toml", &plan, &error)) << error;
  EXPECT_EQ(plan.muxRate, 15000000);
  EXPECT_EQ(plan.output, "udp://239.1.1.1:5000");
  EXPECT_EQ(plan.transportStreamId, 7);
  EXPECT_EQ(plan.originalNetworkId, 0xFF01);
  EXPECT_EQ(plan.networkId, 0x3001);
  EXPECT_EQ(plan.networkName, "Acme cable");
  EXPECT_EQ(plan.provider, "Acme");
  EXPECT_EQ(plan.leadTicks, kPCRHz / 2);
  EXPECT_EQ(plan.pacingWindowNs, 500000);
  EXPECT_EQ(plan.http, "127.0.0.1:8080");
  ASSERT_EQ(plan.services.size(), 2u);
  const ServicePlan& news = plan.services[0];
  EXPECT_EQ(news.input, "udp://127.0.0.1:6000");
  EXPECT_EQ(news.serviceId, 101);
  EXPECT_EQ(news.name, "News 24");
  EXPECT_EQ(news.provider, "Acme News");
  EXPECT_EQ(news.lcn, 1);
  EXPECT_EQ(news.maps, (std::vector<std::string>{"v", "a:0"}));
  EXPECT_EQ(news.pmtPid, 0x1010);
  EXPECT_EQ(news.firstPid, 0x1011);
  EXPECT_FALSE(news.serviceType);
  EXPECT_EQ(news.line, 13);
  const ServicePlan& radio = plan.services[1];
  EXPECT_EQ(radio.provider, "Acme") << "the top-level provider";
  EXPECT_FALSE(radio.lcn);
  EXPECT_TRUE(radio.maps.empty());
  EXPECT_EQ(radio.serviceType, 0x0A);
  EXPECT_FALSE(radio.pmtPid);

  // The least plan: the defaults of a single channel.
  ASSERT_TRUE(ReadPlanText("muxrate = 5000000\n[[service]]\ninput = \"a.ts\"\nservice_id = 1\n", "p", &plan, &error))
      << error;
  EXPECT_EQ(plan.muxRate, 5000000);
  EXPECT_EQ(plan.transportStreamId, 0x0066);
  EXPECT_EQ(plan.originalNetworkId, 0xFF01);
  EXPECT_EQ(plan.networkId, 0xFF01);
  EXPECT_EQ(plan.leadTicks, kDefaultLeadTicks);
  EXPECT_EQ(plan.services[0].provider, "palvex");
  EXPECT_TRUE(plan.output.empty());
  ASSERT_TRUE(ReadPlanText("muxrate = \"5M\"\nlead = \"700ms\"\nnetwork_id = 9\noriginal_network_id = 3\n"
                           "[[service]]\ninput = \"a.ts\"\nservice_id = 1\n", "p", &plan, &error));
  EXPECT_EQ(plan.leadTicks, kPCRHz * 7 / 10);
  EXPECT_EQ(plan.networkId, 9) << "network_id given apart from original_network_id";
}

struct Fault {
  const char* what;
  std::string text;
  const char* line;
};

const char kService[] = "[[service]]\ninput = \"a.ts\"\nservice_id = 1\n";

std::vector<Fault> Faults() {
  const std::string rate = "muxrate = \"15M\"\n";
  return {
      {"BadTOML", rate + "network_name = \"Acme\n" + kService,
       "plan.toml:2: TOML: Error while parsing string: unescaped control character"},
      {"KeyTwice", rate + "muxrate = \"5M\"\n" + kService, "plan.toml:2: TOML: Error while parsing key-value pair: cannot"},
      {"UnknownKey", rate + "muxrat = \"5M\"\n" + kService, "plan.toml:2: muxrat: unknown key"},
      {"UnknownServiceKey", rate + kService + "nmae = \"x\"\n", "plan.toml:5: nmae: unknown key in [[service]]"},
      {"MissingMuxrate", kService, "plan.toml:1: muxrate: missing (the multiplex's constant rate, such as \"15M\")"},
      {"MissingInput", rate + "\n[[service]]\nservice_id = 1\n",
       "plan.toml:3: input: missing in [[service]] (a file or URL, as palvex-mux's INPUT)"},
      {"MissingServiceId", rate + "[[service]]\ninput = \"a.ts\"\n",
       "plan.toml:2: service_id: missing in [[service]] (its program_number, 1-65535)"},
      {"NoService", rate, "plan.toml:1: service: the plan has no [[service]]"},
      {"ServiceNotArray", rate + "[service]\ninput = \"a.ts\"\n", "plan.toml:2: service: must be [[service]] tables"},
      {"BadRate", "muxrate = \"15 Mbit\"\n" + std::string(kService),
       "plan.toml:1: muxrate: must be a rate in bit/s of at least 10k, such as \"15M\" or \"5000k\""},
      {"BadLead", rate + "lead = 20\n" + kService,
       "plan.toml:2: lead: must be seconds from 0.01 to 10, such as 0.8 or \"700ms\""},
      {"WrongType", rate + "network_name = 5\n" + kService, "plan.toml:2: network_name: must be a string"},
      {"IdNotInteger", rate + "[[service]]\ninput = \"a.ts\"\nservice_id = \"101\"\n",
       "plan.toml:4: service_id: must be an integer"},
      {"IdOutOfRange", rate + "[[service]]\ninput = \"a.ts\"\nservice_id = 0\n",
       "plan.toml:4: service_id: 0 is out of range (1-65535)"},
      {"PidOutOfRange", rate + kService + "pmt_pid = 0x0011\n",
       "plan.toml:5: pmt_pid: 0x0011 is out of range (0x0020-0x1FFE)"},
      {"NullPid", rate + kService + "first_pid = 0x1FFF\n",
       "plan.toml:5: first_pid: 0x1FFF is out of range (0x0020-0x1FFE)"},
      {"LcnOutOfRange", rate + kService + "lcn = 1024\n", "plan.toml:5: lcn: 1024 is out of range (0-1023)"},
      {"BadMapType", rate + kService + "map = \"v\"\n",
       "plan.toml:5: map: must be an array of strings, such as [\"v\", \"a:0\"]"},
      {"BadHttp", rate + "http = \"8080\"\n" + kService,
       "plan.toml:2: http: must be \"ADDRESS:PORT\", such as \"127.0.0.1:8080\""},
      {"NulInName", rate + kService + "name = \"a\\u0000b\"\n", "plan.toml:5: name: must not hold a NUL character"},
      {"NulInRate", "muxrate = \"5M\\u0000x\"\n" + std::string(kService), "plan.toml:1: muxrate: must be a rate"},
      {"EmptyInput", rate + "[[service]]\ninput = \"\"\nservice_id = 1\n", "plan.toml:3: input: must not be empty"},
      {"TwoServicesOneId", rate + kService + kService + "\n",
       "plan.toml:7: service_id: 1 is given to two services (also line 2)"},
      {"TwoServicesOneLcn", rate + kService + "lcn = 4\n[[service]]\ninput = \"b.ts\"\nservice_id = 2\nlcn = 4\n",
       "plan.toml:9: lcn: 4 is given to two services (also line 2)"},
      {"TwoServicesOnePid",
       rate + kService + "pmt_pid = 0x200\n[[service]]\ninput = \"b.ts\"\nservice_id = 2\nfirst_pid = 0x200\n",
       "plan.toml:9: first_pid: 0x0200 is given to two services (also line 2)"},
      {"TwoServicesOneStandardInput",
       rate + "[[service]]\ninput = \"-\"\nservice_id = 1\n[[service]]\ninput = \"pipe:0\"\nservice_id = 2\n",
       "plan.toml:6: input: \"pipe:0\" (standard input) is given to two services (also line 2)"},
      {"PmtPidIsFirstPid", rate + kService + "pmt_pid = 0x300\nfirst_pid = 0x300\n",
       "plan.toml:6: first_pid: 0x0300 is the service's pmt_pid"},
      // Below 76k a slot is longer than 20 ms: every slot would be a PCR-only packet.
      {"PacingWindowTooLong", rate + "pacing_window = 25\n" + kService,
       "plan.toml:2: pacing_window: must be milliseconds from 0 to 20, such as 1 or \"0.5ms\""},
      {"RateTooLowForTables", "muxrate = \"20k\"\n" + std::string(kService),
       "plan.toml:1: muxrate: 20000 bit/s cannot carry the tables and PCRs of 1 service with room for their content "
       "(it needs at least 76000 bit/s)"},
      {"RateJustTooLowForPCRs", "muxrate = \"75k\"\n" + std::string(kService),
       "plan.toml:1: muxrate: 75000 bit/s cannot carry the tables and PCRs of 1 service with room for their content "
       "(it needs at least 76000 bit/s)"},
  };
}

class PlanFaultTest : public testing::TestWithParam<Fault> {};

TEST_P(PlanFaultTest, OneLineNamingFileLineAndKey) {
  Plan plan;
  std::string error;
  EXPECT_FALSE(ReadPlanText(GetParam().text, "plan.toml", &plan, &error));
  EXPECT_EQ(error.substr(0, std::string(GetParam().line).size()), GetParam().line) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Plans, PlanFaultTest, testing::ValuesIn(Faults()),
                         [](const testing::TestParamInfo<Fault>& param) { return param.param.what; });

TEST(PlanTest, ChecksAndFile) {
  Plan plan;
  std::string error;
  PlanChecks checks;
  checks.map = [](const std::string& map, std::string* message) {
    *message = "bad map '" + map + "'";
    return map == "v";
  };
  EXPECT_FALSE(ReadPlanText("muxrate = \"5M\"\n[[service]]\ninput = \"a\"\nservice_id = 1\nmap = [\"v\", \"x\"]\n", "p",
                            &plan, &error, checks));
  EXPECT_EQ(error, "p:5: map: bad map 'x'");
  EXPECT_FALSE(ReadPlan("/nonexistent/plan.toml", &plan, &error));
  EXPECT_EQ(error, "/nonexistent/plan.toml: cannot be read (No such file or directory)");
  EXPECT_FALSE(ReadPlan("/", &plan, &error));
  EXPECT_EQ(error, "/: cannot be read (Is a directory)");
  // Relative file inputs are the plan's neighbours; absolute paths, "-" and URLs stay.
  const std::string dir = testing::TempDir() + "plan-dir";
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/p.toml") << "muxrate = \"5M\"\n"
                                    "[[service]]\ninput = \"clips/a.ts\"\nservice_id = 1\n"
                                    "[[service]]\ninput = \"/srv/b.ts\"\nservice_id = 2\n"
                                    "[[service]]\ninput = \"-\"\nservice_id = 3\n"
                                    "[[service]]\ninput = \"udp://@:5000\"\nservice_id = 4\n";
  ASSERT_TRUE(ReadPlan(dir + "/p.toml", &plan, &error)) << error;
  ASSERT_EQ(plan.services.size(), 4u);
  EXPECT_EQ(plan.services[0].input, dir + "/clips/a.ts");
  EXPECT_EQ(plan.services[1].input, "/srv/b.ts");
  EXPECT_EQ(plan.services[2].input, "-");
  EXPECT_EQ(plan.services[3].input, "udp://@:5000");
}

// PID blocks of 32 from 0x0100: PMT first, streams behind it; fixed PIDs and the PIDs of
// services that go on running are never given again.
TEST(PlanTest, ServicePidBlocks) {
  Plan plan;
  const auto service = [](int id, std::optional<int> pmt, std::optional<int> first) {
    ServicePlan s;
    s.serviceId = id;
    s.pmtPid = pmt;
    s.firstPid = first;
    return s;
  };
  struct Case {
    const char* what;
    std::vector<ServicePlan> services;
    std::vector<ServicePids> kept;
    std::vector<ServicePids> pids;
  } cases[] = {
      {"Blocks", {service(1, {}, {}), service(2, {}, {}), service(3, {}, {})}, {},
       {{1, 0x100, 0x101, 0x11F}, {2, 0x120, 0x121, 0x13F}, {3, 0x140, 0x141, 0x15F}}},
      // A fixed PMT PID inside the first block moves the others on; a fixed first_pid runs
      // up to 31 PIDs, short of the next service's fixed one.
      {"FixedPids", {service(1, {}, {}), service(2, 0x105, 0x300), service(3, 0x30A, {})}, {},
       {{1, 0x120, 0x121, 0x13F}, {2, 0x105, 0x300, 0x309}, {3, 0x30A, 0x141, 0x15F}}},
      // A reload: service 2 goes on with its PIDs, service 1 leaves, services 4 and 5 are
      // new: they take the lowest blocks that neither holds; service 6 fixes a PMT PID of
      // the leaving one.
      {"Reload", {service(4, {}, {}), service(2, {}, {}), service(5, {}, {}), service(6, 0x120, 0x130)},
       {{2, 0x100, 0x101, 0x11F}, {1, 0x140, 0x141, 0x15F}},
       {{4, 0x160, 0x161, 0x17F}, {2, 0x100, 0x101, 0x11F}, {5, 0x180, 0x181, 0x19F}, {6, 0x120, 0x130, 0x14E}}},
  };
  for (const Case& c : cases) {
    plan.services = c.services;
    std::vector<ServicePids> pids;
    std::string error;
    ASSERT_TRUE(AssignPids(plan, c.kept, &pids, &error)) << c.what << ": " << error;
    ASSERT_EQ(pids.size(), c.pids.size()) << c.what;
    for (size_t i = 0; i < pids.size(); ++i) {
      EXPECT_EQ(pids[i].serviceId, c.pids[i].serviceId) << c.what << " " << i;
      EXPECT_EQ(pids[i].pmtPid, c.pids[i].pmtPid) << c.what << " " << i;
      EXPECT_EQ(pids[i].firstPid, c.pids[i].firstPid) << c.what << " " << i;
      EXPECT_EQ(pids[i].lastPid, c.pids[i].lastPid) << c.what << " " << i;
    }
  }
  // A fixed PID inside a running service's; more services than blocks.
  plan.services = {service(2, {}, {}), service(5, 0x110, {})};
  std::vector<ServicePids> pids;
  std::string error;
  EXPECT_FALSE(AssignPids(plan, {{2, 0x100, 0x101, 0x11F}}, &pids, &error));
  EXPECT_EQ(error, "pmt_pid 0x0110 of service 5 is service 2's");
  plan.services.clear();
  for (int id = 1; id <= 248; ++id) plan.services.push_back(service(id, {}, {}));
  EXPECT_FALSE(AssignPids(plan, {}, &pids, &error));
  EXPECT_EQ(error, "no block of PIDs left for service 248");
  EXPECT_EQ(pids.size(), 247u);
}

}  // namespace
}  // namespace palvex_host
