#pragma once

#include <fmt/format.h>

#include <string>

namespace stackpeek::bench {

// Function names and files of a torch-like stack: a realistic mix of short and long ones.
inline constexpr const char* kTorchFunctions[] = {
    "forward",  "_call_impl", "_wrapped_call_impl", "all_reduce",
    "wrapper",  "train_step", "<module>",           "DistributedDataParallel._run_ddp_forward",
    "<lambda>", "run"};
inline constexpr const char* kTorchFiles[] = {
    "torch/nn/modules/module.py",
    "torch/nn/parallel/distributed.py",
    "torch/distributed/distributed_c10d.py",
    "train.py",
    "threading.py",
    "/srv/jobs/experiment-42/.venv/lib/python3.12/site-packages/transformers/models/llama/"
    "modeling_llama.py"};

// One frame line of a torch-like dump, as py-spy prints it, chosen by the thread and frame,
// with a line number varied by `salt`.
inline std::string frame_line(int thread, int frame, int salt) {
  const int pick = thread * 7 + frame * 3;
  return fmt::format("    {} ({}:{})\n", kTorchFunctions[pick % 10], kTorchFiles[pick % 6],
                     100 + (frame * 37 + salt) % 1900);
}

}  // namespace stackpeek::bench
