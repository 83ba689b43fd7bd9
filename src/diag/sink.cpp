#include "diag/sink.h"

#include <atomic>
#include <cstdio>

namespace velkan::diag {

namespace {

void stdout_writer(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::atomic<Writer> g_writer{&stdout_writer};

}  // namespace

void set_writer(Writer writer) { g_writer.store(writer ? writer : &stdout_writer); }

void write(std::string_view text) { g_writer.load()(text); }

}  // namespace velkan::diag
