// support.h - what the fuzz targets share: the input read as UTF-16 text, a
// run deadline that interrupts a script through ExMsgWithQo(8, ...), and the
// engine's memory limit (ExMsgWithQo(10, ...)).
//
// A Deadline owns a watchdog thread. arm() starts the clock for one run; once
// the limit has passed the watchdog requests an interruption (and repeats the
// request every further limit while still armed); disarm() stops the clock and
// withdraws a request that is still pending, so the next run starts clean.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace qo::fuzz {

// The bytes as little-endian UTF-16 units (an odd last byte is dropped); the
// engine reads a text up to its first NUL unit.
std::u16string textFromBytes(const uint8_t* data, size_t size);

using ServiceFn = intptr_t (*)(int message, void* a, void* b, void* c);

class Deadline {
public:
    Deadline(ServiceFn exMsgWithQo, int milliseconds);
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;
    void arm();
    void disarm();
};

// Every target runs the engine under this memory limit (ExMsgWithQo 10), so
// that a script asking for gigabytes meets an out-of-memory error instead of
// the fuzzer's own limits, and anything the fuzzer's limits still catch is a
// real finding.
constexpr int64_t kEngineMemoryLimit = int64_t{256} << 20;
void limitEngineMemory(ServiceFn exMsgWithQo);

// Stops the process with a message: the fuzzer records the input as a crash.
[[noreturn]] void fail(const char* what, long detail = 0);

}  // namespace qo::fuzz
