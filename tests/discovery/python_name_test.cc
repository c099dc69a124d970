#include "discovery/python_name.h"

#include <gtest/gtest.h>

namespace stackpeek::discovery {
namespace {

using Args = std::vector<std::string>;

TEST(PythonNameTest, InterpreterNamesWithNumericSuffix) {
  for (const char* word : {"python", "python.exe", "python3", "python3.12", "python3.exe",
                           "python2", "python\u00B2", "python\u0663x"}) {
    EXPECT_TRUE(is_python_name(word)) << word;
  }
  for (const char* word :
       {"pythonw", "python-config", "ipython", "py", "", "pythonx3", "python.", "Python3"}) {
    EXPECT_FALSE(is_python_name(word)) << word;
  }
}

TEST(PythonProcessTest, AcceptedByNameInAnyCase) {
  EXPECT_TRUE(is_python_process("Python3.11", std::nullopt, {}));
  EXPECT_TRUE(is_python_process("uv", std::nullopt, {}));
  EXPECT_TRUE(is_python_process("UV", std::nullopt, {}));
  EXPECT_FALSE(is_python_process("pythonw", std::string("/usr/bin/pythonw"), {"pythonw"}));
}

TEST(PythonProcessTest, AcceptedByExecutableFileName) {
  EXPECT_TRUE(is_python_process("worker", std::string("/usr/bin/python3.12"), {"worker"}));
  EXPECT_TRUE(is_python_process("pythonw", std::string("/opt/PYTHON3"), {}));
  EXPECT_TRUE(is_python_process("x", std::string("/home/ana/.local/bin/uv"), {}));
  // The file name must be valid UTF-8, even where the bytes before it would pass.
  EXPECT_FALSE(is_python_process("x", std::string("/opt/python3\xFF"), {}));
  // Only the file name counts, not the folders.
  EXPECT_FALSE(is_python_process("x", std::string("/opt/python3/bin/app"), {}));
}

TEST(PythonProcessTest, AcceptedByArgumentSubstrings) {
  EXPECT_TRUE(is_python_process("app", std::nullopt, {"/opt/python/bin/app"}));
  EXPECT_TRUE(is_python_process("app", std::nullopt, {"C:\\Python\\app.exe"}));
  EXPECT_TRUE(is_python_process("app", std::nullopt, {"run", "/OPT/PYTHON/x"}));
  EXPECT_TRUE(is_python_process("app", std::nullopt, {"env", "Python3.11"}));
  EXPECT_FALSE(is_python_process("app", std::nullopt, {"ipython"}));
  EXPECT_FALSE(is_python_process("app", std::nullopt, {}));
}

TEST(PythonProcessTest, TorchLauncherCountsCaseSensitively) {
  EXPECT_TRUE(is_python_process("app", std::nullopt, {"torchrun", "--nproc_per_node=4"}));
  EXPECT_TRUE(is_python_process("app", std::nullopt, {"/opt/venv/bin/torchrun"}));
  EXPECT_FALSE(is_python_process("app", std::nullopt, {"TORCHRUN"}));
}

TEST(PythonProcessTest, UnreadableExecutableStillAcceptedByNameOrArguments) {
  EXPECT_TRUE(is_python_process("python3", std::nullopt, {}));
  EXPECT_TRUE(is_python_process("x", std::nullopt, {"/usr/bin/python3", "a.py"}));
}

TEST(TorchLauncherTest, NamesAnywhereInTheCommandLine) {
  EXPECT_TRUE(is_torch_launcher({"python3", "-m", "torch.distributed.run", "t.py"}));
  EXPECT_TRUE(is_torch_launcher({"python3", "-m", "torch.distributed.launch"}));
  EXPECT_TRUE(is_torch_launcher({"/tmp/fake_torchrun.py"}));
  EXPECT_FALSE(is_torch_launcher({"python3", "-m", "torch.distributed", "run"}));
  EXPECT_FALSE(is_torch_launcher({}));
}

}  // namespace
}  // namespace stackpeek::discovery
