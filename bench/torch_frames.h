#pragma once

#include <fmt/format.h>

#include <string>

namespace stackpeek::bench {

// One frame line of a torch-like dump, as py-spy prints it: a realistic mix of short and long
// function names and file paths, chosen by the thread and frame, with a line number varied
// by `salt`.
inline std::string frame_line(int thread, int frame, int salt) {
  static const char* const kFunctions[] = {
      "forward",  "_call_impl", "_wrapped_call_impl", "all_reduce",
      "wrapper",  "train_step", "<module>",           "DistributedDataParallel._run_ddp_forward",
      "<lambda>", "run"};
  static const char* const kFiles[] = {
      "torch/nn/modules/module.py",
      "torch/nn/parallel/distributed.py",
      "torch/distributed/distributed_c10d.py",
      "train.py",
      "threading.py",
      "/srv/jobs/experiment-42/.venv/lib/python3.12/site-packages/transformers/models/llama/"
      "modeling_llama.py"};
  const int pick = thread * 7 + frame * 3;
  return fmt::format("    {} ({}:{})\n", kFunctions[pick % 10], kFiles[pick % 6],
                     100 + (frame * 37 + salt) % 1900);
}

}  // namespace stackpeek::bench
