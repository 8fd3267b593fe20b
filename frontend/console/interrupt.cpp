#include "interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "messages.h"

namespace qo::console {
namespace {

// Read by the handler: only lock-free atomics.
std::atomic<InterruptRequest> g_request{nullptr};
std::atomic<int> g_presses{0};
struct sigaction g_previous;
// The note of the first press, in the user's language (set before the handler is installed).
const char* g_note = nullptr;
size_t g_noteLength = 0;

void onInterrupt(int) {
    if (g_presses.fetch_add(1, std::memory_order_relaxed) == 0) {
        if (InterruptRequest request = g_request.load(std::memory_order_relaxed)) {
            // Any non-null pointer asks for the interruption.
            request(8, reinterpret_cast<void*>(&g_presses), nullptr, nullptr);
            ssize_t ignored = write(STDERR_FILENO, g_note, g_noteLength);
            (void)ignored;
            return;
        }
    }
    _exit(130);
}

}  // namespace

InterruptScope::InterruptScope(InterruptRequest request) {
    static_assert(std::atomic<InterruptRequest>::is_always_lock_free);
    static_assert(std::atomic<int>::is_always_lock_free);
    if (!request) return;
    g_note = text(Text::kInterruptNote);
    g_noteLength = std::strlen(g_note);
    g_request.store(request, std::memory_order_relaxed);
    g_presses.store(0, std::memory_order_relaxed);
    struct sigaction action {};
    action.sa_handler = &onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    installed_ = sigaction(SIGINT, &action, &g_previous) == 0;
}

InterruptScope::~InterruptScope() {
    if (!installed_) return;
    sigaction(SIGINT, &g_previous, nullptr);
    InterruptRequest request = g_request.exchange(nullptr, std::memory_order_relaxed);
    // A request that arrived after the last check of the run must not stop the next one.
    if (request) request(8, nullptr, nullptr, nullptr);
}

}  // namespace qo::console
