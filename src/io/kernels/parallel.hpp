// Work spread over a few threads for the length of one call: no pool that
// outlives it, so nothing to tear down at exit and nothing a fork can leave
// half alive.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace bitloom::io {

// Calls work(first, count) for consecutive pieces of [0, total), each at
// most `piece` long, on up to `threads` threads (the calling one among
// them), and returns when every piece is done. Pieces are handed out in
// order from one counter, so a thread that cannot be started costs speed,
// never work. The first exception thrown by `work` is rethrown here.
template <class Work>
void for_each_piece(std::size_t total, std::size_t piece, unsigned threads, Work&& work) {
    std::atomic<std::size_t> next{0};
    std::exception_ptr error;
    std::mutex error_lock;
    auto worker = [&] {
        try {
            for (;;) {
                const std::size_t first = next.fetch_add(piece, std::memory_order_relaxed);
                if (first >= total) return;
                work(first, total - first < piece ? total - first : piece);
            }
        } catch (...) {
            const std::lock_guard<std::mutex> hold(error_lock);
            if (!error) error = std::current_exception();
            next.store(total, std::memory_order_relaxed);  // the others stop at their next piece
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(threads > 1 ? threads - 1 : 0);
    for (unsigned t = 1; t < threads; ++t) {
        try {
            helpers.emplace_back(worker);
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the ones running share the rest
        }
    }
    worker();
    for (std::thread& helper : helpers) helper.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace bitloom::io
