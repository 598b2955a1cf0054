#pragma once
// Streaming decoder for Deflate64 ("enhanced deflate", ZIP method 9), which zlib does not offer.
// It is deflate with a 64 KiB window, length code 285 as base 3 with 16 extra bits (lengths up to
// 65538) and distance codes 30 and 31 in use. Memory stays bounded whatever the entry's size:
// the decoder holds one input chunk and 64 KiB of history plus about 1 MiB of pending output.
#include <cstddef>
#include <cstdint>
#include <functional>

namespace Deflate64 {

// Fills xBuffer with up to xCapacity further bytes of compressed data; 0 means the input has ended.
using TSource = std::function<std::size_t(unsigned char* xBuffer, std::size_t xCapacity)>;
// Takes the next piece of decoded data; it may throw to stop the decoding.
using TSink = std::function<void(const unsigned char* xData, std::size_t xSize)>;

// Decodes one complete stream (up to and including its final block) and returns the number of
// bytes it produced. Input after the final block is ignored. A corrupt or truncated stream
// throws EVelError; the decoder never reads beyond what xSource has handed it.
std::uint64_t Decode(const TSource& xSource, const TSink& xSink);

}  // namespace Deflate64
