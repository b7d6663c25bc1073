// Guarded file mappings: see file_map.hpp.
#include "io/splitter/file_map.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <mutex>

#include "common/platform.hpp"

#ifdef BITLOOM_HAVE_MADVISE  // the systems with mmap and SIGBUS
#define BITLOOM_IO_GUARDED_MAPS 1
#endif

namespace bitloom::io {

#ifdef BITLOOM_IO_GUARDED_MAPS

namespace {

// The registry the handler reads: lock-free atomics only, so that a signal
// arriving while a slot changes sees either the old or the new mapping.
constexpr int kSlots = 256;
struct Slot {
    std::atomic<std::uintptr_t> base{0};
    std::atomic<std::size_t> size{0};
    std::atomic<std::int64_t> fault{-1};
};
Slot slots[kSlots];
std::mutex registry_lock;  // taken by map and unmap, never by the handler
struct sigaction previous{};
std::once_flag installed;
std::size_t page_size = 4096;

void pass_on(int sig, siginfo_t* info, void* context) {
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(sig, info, context);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN && previous.sa_handler != nullptr) {
        previous.sa_handler(sig);
        return;
    }
    // The default action: on return the fault repeats and kills the process
    // as it would have without us.
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGBUS, &fallback, nullptr);
}

void on_sigbus(int sig, siginfo_t* info, void* context) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Slot& slot : slots) {
        const std::uintptr_t base = slot.base.load(std::memory_order_acquire);
        const std::size_t size = slot.size.load(std::memory_order_acquire);
        if (base == 0 || address < base || address - base >= size) continue;
        const std::uintptr_t page = address & ~(std::uintptr_t{page_size} - 1U);
        const std::uintptr_t end = (base + size + page_size - 1U) & ~(std::uintptr_t{page_size} - 1U);
        // Zeros over the rest of the mapping: the file is gone from here on.
        void* zeros = mmap(reinterpret_cast<void*>(page),  // NOLINT(performance-no-int-to-ptr): the faulting page
                           end - page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (zeros == MAP_FAILED) break;
        const auto offset = static_cast<std::int64_t>(page - base);
        std::int64_t seen = slot.fault.load(std::memory_order_relaxed);
        while ((seen < 0 || offset < seen) &&
               !slot.fault.compare_exchange_weak(seen, offset, std::memory_order_release)) {
        }
        return;
    }
    pass_on(sig, info, context);
}

void install() noexcept {
    page_size = page_bytes();
    struct sigaction action{};
    action.sa_sigaction = on_sigbus;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previous);
}

}  // namespace

bool file_maps_guarded() noexcept { return true; }

int map_file(int fd, std::size_t size, FileMap& map) noexcept {
    map = FileMap{};
    if (size == 0) return EINVAL;
    std::call_once(installed, install);
    void* data = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (data == MAP_FAILED) return errno;
    const std::lock_guard<std::mutex> hold(registry_lock);
    for (int i = 0; i < kSlots; ++i) {
        if (slots[i].base.load(std::memory_order_relaxed) != 0) continue;
        slots[i].fault.store(-1, std::memory_order_relaxed);
        slots[i].size.store(size, std::memory_order_release);
        slots[i].base.store(reinterpret_cast<std::uintptr_t>(data), std::memory_order_release);
        map.data = static_cast<const std::uint8_t*>(data);
        map.size = size;
        map.slot = i;
        return 0;
    }
    munmap(data, size);
    return EMFILE;  // too many guarded mappings at once
}

void unmap_file(FileMap& map) noexcept {
    if (map.data == nullptr) return;
    {
        const std::lock_guard<std::mutex> hold(registry_lock);
        slots[map.slot].base.store(0, std::memory_order_release);
        slots[map.slot].size.store(0, std::memory_order_release);
    }
    munmap(const_cast<std::uint8_t*>(map.data), map.size);  // NOLINT(cppcoreguidelines-pro-type-const-cast)
    map = FileMap{};
}

std::int64_t fault_offset(const FileMap& map) noexcept {
    if (map.slot < 0) return -1;
    return slots[map.slot].fault.load(std::memory_order_acquire);
}

void release_mapped_pages(const FileMap& map, std::size_t offset, std::size_t length) noexcept {
    if (map.data == nullptr || offset >= map.size) return;
    // Pages already replaced by zeros are anonymous: giving them back keeps
    // them zero.
    release_pages(map.data + offset, std::min(length, map.size - offset), false);
}

#else

bool file_maps_guarded() noexcept { return false; }
int map_file(int, std::size_t, FileMap& map) noexcept {
    map = FileMap{};
    return ENOSYS;
}
void unmap_file(FileMap& map) noexcept { map = FileMap{}; }
std::int64_t fault_offset(const FileMap&) noexcept { return -1; }
void release_mapped_pages(const FileMap&, std::size_t, std::size_t) noexcept {}

#endif

}  // namespace bitloom::io
