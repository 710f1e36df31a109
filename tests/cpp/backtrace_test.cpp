// The panic report's backtrace: frames of the running program given as offsets that a
// symboliser takes.
#include <gtest/gtest.h>
#include <link.h>  // dl_iterate_phdr: the executable's load bias

#include <cstdint>
#include <cstdlib>  // setenv, unsetenv
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/panic.hpp"

namespace tarnix::base {
namespace {

struct Frame {
  std::string object;
  std::uintptr_t offset;
};

// Sets TARNIX_BACKTRACE for one test and puts back what the run had.
class BacktraceVariable {
 public:
  explicit BacktraceVariable(const char* value) {
    if (const char* old = std::getenv("TARNIX_BACKTRACE")) saved_ = old;
    setenv("TARNIX_BACKTRACE", value, 1);
  }
  ~BacktraceVariable() {
    if (saved_) {
      setenv("TARNIX_BACKTRACE", saved_->c_str(), 1);
    } else {
      unsetenv("TARNIX_BACKTRACE");
    }
  }

 private:
  std::optional<std::string> saved_;
};

// Where panic_here returns to: the walk must give its caller's frame one byte before it.
const void* panic_here_return_address = nullptr;

[[gnu::noinline]] void panic_here(std::string message) {
  panic_here_return_address = __builtin_return_address(0);
  base::panic(std::move(message));
}

std::string report_of_a_panic(const char* variable) {
  BacktraceVariable set(variable);
  testing::internal::CaptureStderr();
  try {
    panic_here("backtrace wanted");
  } catch (const base::Panic&) {
  }
  return testing::internal::GetCapturedStderr();
}

// One line "  INDEX: OBJECT+0xOFFSET", maybe followed by " SYMBOL".
std::optional<Frame> parse_frame(const std::string& line, std::size_t index) {
  const std::string number = "  " + std::to_string(index) + ": ";
  if (line.rfind(number, 0) != 0) return std::nullopt;
  const std::size_t plus = line.find("+0x", number.size());
  if (plus == std::string::npos || plus == number.size()) return std::nullopt;
  const std::string digits = line.substr(plus + 3, line.find(' ', plus) - (plus + 3));
  if (digits.empty() || digits.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return std::nullopt;
  }
  return Frame{line.substr(number.size(), plus - number.size()),
               static_cast<std::uintptr_t>(std::stoull(digits, nullptr, 16))};
}

// The frame lines after "stack backtrace:", as far as they are numbered in order.
std::vector<Frame> frames_in(const std::string& report) {
  std::istringstream lines(report);
  std::string line;
  while (std::getline(lines, line) && line != "stack backtrace:") {
  }
  std::vector<Frame> frames;
  while (std::getline(lines, line)) {
    std::optional<Frame> frame = parse_frame(line, frames.size());
    if (!frame) break;
    frames.push_back(*frame);
  }
  return frames;
}

std::uintptr_t executable_load_bias() {
  std::uintptr_t bias = 0;
  // Both C libraries list the main program first.
  dl_iterate_phdr(
      [](dl_phdr_info* object, std::size_t, void* data) {
        *static_cast<std::uintptr_t*>(data) = object->dlpi_addr;
        return 1;
      },
      &bias);
  return bias;
}

TEST(PanicBacktrace, FramesAreOffsetsIntoThisExecutableDownToTheCallThatPanicked) {
  const std::string report = report_of_a_panic("1");
  const std::vector<Frame> frames = frames_in(report);
  ASSERT_FALSE(frames.empty()) << report;
  EXPECT_EQ(report.find("note: "), std::string::npos) << report;

  const std::string executable = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::uintptr_t call = reinterpret_cast<std::uintptr_t>(panic_here_return_address) - 1 -
                              executable_load_bias();
  bool found = false;
  for (const Frame& frame : frames) {
    found = found || (frame.object == executable && frame.offset == call);
  }
  EXPECT_TRUE(found) << "no frame " << executable << "+0x" << std::hex << call << " in:\n"
                     << report;
}

}  // namespace
}  // namespace tarnix::base
