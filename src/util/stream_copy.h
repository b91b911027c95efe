#pragma once

// Copies into memory that nothing will read soon. A store into a cache line that is not in the
// cache first reads the line in from memory; when several workers write a large layer at once,
// those reads take a share of the memory's bandwidth that the writes need. Stores past the
// cache write whole lines without reading them.

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brel {

// Bytes [destination, destination + bytes) from `source`, the whole cache lines among them
// written past the cache. Values and places are as memcpy leaves them. Before other threads read
// the bytes, the writer calls finish_copies_past_the_cache.
inline void copy_past_the_cache(void* destination, const void* source, size_t bytes) {
  auto* out = static_cast<unsigned char*>(destination);
  const auto* in = static_cast<const unsigned char*>(source);
#if defined(__SSE2__)
  constexpr size_t line = 64;
  const size_t to_line = (line - reinterpret_cast<uintptr_t>(out) % line) % line;
  const size_t head = bytes < to_line ? bytes : to_line;
  std::memcpy(out, in, head);
  out += head;
  in += head;
  bytes -= head;
  for (; bytes >= line; bytes -= line, out += line, in += line) {
    for (size_t i = 0; i < line; i += 16) {
      _mm_stream_si128(reinterpret_cast<__m128i*>(out + i),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i)));
    }
  }
#endif
  std::memcpy(out, in, bytes);
}

// Orders the writer's copies past the cache before its later stores, among them those that tell
// other threads that its work is done.
inline void finish_copies_past_the_cache() {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

}  // namespace brel
