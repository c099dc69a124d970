#include "common/run_record.h"

#include <gtest/gtest.h>
#include <signal.h>

namespace stackpeek {
namespace {

TEST(SignalNameTest, StandardNamesByNumber) {
  EXPECT_EQ(signal_name(SIGSEGV), "SIGSEGV");
  EXPECT_EQ(signal_name(SIGKILL), "SIGKILL");
  EXPECT_EQ(signal_name(SIGINT), "SIGINT");
  EXPECT_EQ(signal_name(SIGTERM), "SIGTERM");
  EXPECT_EQ(signal_name(SIGABRT), "SIGABRT");
  EXPECT_EQ(signal_name(SIGBUS), "SIGBUS");
  EXPECT_EQ(signal_name(SIGSYS), "SIGSYS");
  EXPECT_EQ(signal_name(0), "");
  EXPECT_EQ(signal_name(-1), "");
  EXPECT_EQ(signal_name(SIGRTMIN), "");
  EXPECT_EQ(signal_name(200), "");
}

TEST(FailureDetailTest, OnlyForFailuresThatKnowHowTheyEnded) {
  RunRecord record{"py-spy dump --pid 1", "", "", RunStatus::Failure, 3, std::nullopt};
  EXPECT_EQ(failure_detail(record), "exit code: 3");
  record.exit_code.reset();
  record.signal = 11;
  EXPECT_EQ(failure_detail(record), "signal: 11 (SIGSEGV)");
  record.signal = SIGRTMIN + 1;
  EXPECT_EQ(failure_detail(record), "signal: " + std::to_string(SIGRTMIN + 1));
  record.signal.reset();
  EXPECT_EQ(failure_detail(record), std::nullopt);

  const RunRecord success{"x", "", "", RunStatus::Success, 0, std::nullopt};
  EXPECT_EQ(failure_detail(success), std::nullopt);
  const RunRecord not_started{"x", "", "No such file or directory (os error 2)",
                              RunStatus::SpawnFailed};
  EXPECT_EQ(failure_detail(not_started), std::nullopt);
}

TEST(RunRecordTest, NewFieldsAreEmptyByDefault) {
  const RunRecord record;
  EXPECT_EQ(record.exit_code, std::nullopt);
  EXPECT_EQ(record.signal, std::nullopt);
  EXPECT_EQ(record.status, RunStatus::Failure);
}

}  // namespace
}  // namespace stackpeek
