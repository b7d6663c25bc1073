// Read-only file mappings that survive the file shrinking under them.
//
// Reading a page of a mapping past the end of its file raises SIGBUS, which
// kills the process: another program truncating a file while it is decoded
// would take the decoder down with it. Mappings made here are registered
// with a SIGBUS handler that, for a fault inside one of them, maps zero
// pages over the rest of the mapping, notes the offset and returns, so the
// reading code runs on over zeros and the caller finds out afterwards
// (fault_offset) and reports the file. Faults at any other address go to
// the handler that was there before (or the default action), so other
// mappings and other handlers behave as they did.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bitloom::io {

struct FileMap {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    int slot = -1;  // in the registry; -1 when the mapping is not guarded
};

// Whether guarded mappings exist on this platform.
[[nodiscard]] bool file_maps_guarded() noexcept;

// Maps `size` bytes of the open file `fd` read-only. Returns 0, or an errno
// value (the map is left empty).
[[nodiscard]] int map_file(int fd, std::size_t size, FileMap& map) noexcept;

// Unmaps and unregisters; the map is left empty.
void unmap_file(FileMap& map) noexcept;

// The offset of the first page found missing, or -1 when none was.
[[nodiscard]] std::int64_t fault_offset(const FileMap& map) noexcept;

// Gives pages of the map back to the kernel (they are read again from the
// file if touched later).
void release_mapped_pages(const FileMap& map, std::size_t offset, std::size_t length) noexcept;

}  // namespace bitloom::io
