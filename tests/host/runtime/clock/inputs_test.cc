// What the clock check and the crash reports take from outside: a time
// server's answer, a Date header, a report file left on the disk.
#include <gtest/gtest.h>

#include <cmath>

#include "quillpost/host/comms/clock.h"
#include "quillpost/host/runtime/clock/sntp.h"
#include "quillpost/host/runtime/crash/report.h"

namespace quillpost {
namespace {

TEST(ClockInputs, TimeServerAnswersAreTakenOnlyWhenTheyAreAnswersToOurRequest) {
  const double sent = 1765000000.25;
  const clock::NtpPacket request = clock::sntp_request(sent);
  // A good answer 3 h ahead, then one fault each.
  const auto good = [&] {
    clock::NtpPacket a = clock::sntp_request(sent + 10800);
    a[0] = (4 << 3) | 4;
    a[1] = 2;
    std::copy(&request[40], &request[48], &a[24]);
    std::copy(&a[40], &a[48], &a[32]);
    return a;
  };
  struct Row {
    const char* name;
    void (*spoil)(clock::NtpPacket&);
    const char* refused;  // empty: taken
  };
  const Row rows[] = {
      {"good", [](clock::NtpPacket&) {}, ""},
      {"client mode", [](clock::NtpPacket& a) { a[0] = (4 << 3) | 3; }, "mode 3"},
      {"leap 3", [](clock::NtpPacket& a) { a[0] |= 0xc0; }, "not synchronised"},
      {"stratum 0", [](clock::NtpPacket& a) { a[1] = 0; }, "not synchronised"},
      {"stratum 16", [](clock::NtpPacket& a) { a[1] = 16; }, "not synchronised"},
      {"other origin", [](clock::NtpPacket& a) { a[31] ^= 1; }, "not to our request"},
      {"no time", [](clock::NtpPacket& a) { std::fill(&a[40], &a[48], 0); }, "no time"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    clock::NtpPacket answer = good();
    row.spoil(answer);
    if (*row.refused == '\0') {
      const auto result = clock::read_sntp_answer(request, answer.data(), 48, sent + 0.1);
      EXPECT_NEAR(result.offset, 10800 - 0.05, 0.01);
      EXPECT_NEAR(result.delay, 0.1, 0.01);
    } else {
      try {
        clock::read_sntp_answer(request, answer.data(), 48, sent + 0.1);
        ADD_FAILURE() << "taken";
      } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(row.refused), std::string::npos) << e.what();
      }
    }
  }
  EXPECT_THROW(clock::read_sntp_answer(request, good().data(), 47, sent), std::runtime_error);
}

TEST(ClockInputs, HttpDatesServerListsAndReportsAreReadStrictly) {
  EXPECT_EQ(comms::parse_http_date("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
  for (const char* bad : {"Sun, 06 Nov 1994 08:49:37 UTC", "Sunday, 06-Nov-94 08:49:37 GMT",
                          "Sun, 31 Feb 1994 08:49:37 GMT", "Sun, 06 Nov 1994 24:49:37 GMT", ""}) {
    EXPECT_FALSE(comms::parse_http_date(bad)) << bad;
  }
  EXPECT_EQ(comms::clock_offset_text(-(2 * 3600 + 13 * 60 + 10)), "2 h 13 min");

  std::vector<std::string> refused;
  const auto servers =
      clock::parse_sntp_servers("time.example, 127.0.0.1:1123 [::1]:9 bad:port a:0 x;y", &refused);
  ASSERT_EQ(servers.size(), 3U);
  EXPECT_EQ(servers[0].to_text(), "time.example:123");
  EXPECT_EQ(servers[1].to_text(), "127.0.0.1:1123");
  EXPECT_EQ(servers[2].to_text(), "[::1]:9");
  EXPECT_EQ(refused, (std::vector<std::string>{"bad:port", "a:0", "x;y"}));

  const auto report = crash::parse_crash_report(
      "quillpost crash report 1\ntime 1765000000\nsignal 11 SIGSEGV\nthread w\x1b[2J\n"
      "frame 0x1010\nframe zz\nmodule 0x1000 abc0 /lib/a.so\nmodule 0x0 - /bin/x\n");
  ASSERT_TRUE(report);
  EXPECT_EQ(report->thread, "w?[2J");
  EXPECT_EQ(report->frames, (std::vector<std::uint64_t>{0x1010}));
  const auto frames = crash::frames_of(*report);
  EXPECT_EQ(frames[0].module, "a.so");
  EXPECT_EQ(frames[0].offset, 0x10U);
  EXPECT_FALSE(crash::parse_crash_report("quillpost crash report 1\nsignal 11 SIGSEGV\n"));
  EXPECT_FALSE(crash::parse_crash_report("something else\ntime 1\nsignal 11\n"));
}

}  // namespace
}  // namespace quillpost
