#include "Deflate64.h"

#include "Error.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>

namespace {

constexpr std::size_t cWindowSize = 65536;
constexpr std::size_t cMaxMatch = 65538;  // length code 285: 3 + 16 extra bits
constexpr std::size_t cOutChunk = std::size_t(1) << 20;
constexpr std::size_t cOutCapacity = cWindowSize + cOutChunk;
constexpr std::size_t cCopySlack = 8;  // the 8-byte match copy may run up to 7 bytes past a match
constexpr std::size_t cInChunk = std::size_t(1) << 16;
constexpr unsigned cMaxCodeBits = 15;
constexpr unsigned cFastBits = 10;
constexpr unsigned cMaxLitLen = 288;

// Length codes 257..285 and distance codes 0..31; only the last entry of each differs from deflate.
constexpr std::uint16_t cLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                           31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 3};
constexpr std::uint8_t cLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 16};
constexpr std::uint32_t cDistBase[32] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
                                         49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
                                         2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr std::uint8_t cDistExtra[32] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,  6,
                                         7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
constexpr std::uint8_t cCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

[[noreturn]] void Fail(const char* xWhat) {
    throw EVelError(QStringLiteral("Deflate64 data invalid: %1").arg(QLatin1String(xWhat)));
}

[[noreturn]] void FailTruncated() { Fail("unexpected end of compressed data"); }

// A canonical Huffman code: a direct table for codes of up to cFastBits bits, and the counts and
// symbols in code order for the rarer longer codes. Incomplete codes are accepted; a bit pattern
// without a symbol is reported when it turns up.
struct THuffman {
    std::array<std::uint16_t, 1u << cFastBits> Fast{};  // symbol << 4 | length, 0 for longer codes
    std::array<std::uint16_t, cMaxCodeBits + 1> Count{};
    std::array<std::uint16_t, cMaxLitLen> Symbol{};

    void Build(const std::uint8_t* xLengths, unsigned xCount) {
        Count.fill(0);
        Fast.fill(0);
        for (unsigned i = 0; i < xCount; ++i)
            ++Count[xLengths[i]];
        Count[0] = 0;
        int wLeft = 1;
        for (unsigned wLen = 1; wLen <= cMaxCodeBits; ++wLen) {
            wLeft = 2 * wLeft - Count[wLen];
            if (wLeft < 0)
                Fail("over-subscribed Huffman code");
        }
        std::array<std::uint16_t, cMaxCodeBits + 2> wOffset{};
        for (unsigned wLen = 1; wLen <= cMaxCodeBits; ++wLen)
            wOffset[wLen + 1] = static_cast<std::uint16_t>(wOffset[wLen] + Count[wLen]);
        for (unsigned i = 0; i < xCount; ++i)
            if (xLengths[i] != 0)
                Symbol[wOffset[xLengths[i]]++] = static_cast<std::uint16_t>(i);

        // Codes arrive most significant bit first, so the table is indexed by the reversed code.
        unsigned wCode = 0;
        unsigned wIndex = 0;
        for (unsigned wLen = 1; wLen <= cFastBits; ++wLen) {
            for (unsigned k = 0; k < Count[wLen]; ++k, ++wCode) {
                unsigned wReversed = 0;
                for (unsigned b = 0; b < wLen; ++b)
                    wReversed |= ((wCode >> b) & 1u) << (wLen - 1 - b);
                const auto wEntry = static_cast<std::uint16_t>(Symbol[wIndex++] << 4 | wLen);
                for (unsigned f = wReversed; f < (1u << cFastBits); f += 1u << wLen)
                    Fast[f] = wEntry;
            }
            wCode <<= 1;
        }
    }
};

const THuffman& FixedLitLen() {
    static const THuffman cCode = [] {
        std::array<std::uint8_t, cMaxLitLen> wLengths{};
        for (unsigned i = 0; i < cMaxLitLen; ++i)
            wLengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        THuffman wCode;
        wCode.Build(wLengths.data(), cMaxLitLen);
        return wCode;
    }();
    return cCode;
}

const THuffman& FixedDist() {
    static const THuffman cCode = [] {
        std::array<std::uint8_t, 32> wLengths{};
        wLengths.fill(5);
        THuffman wCode;
        wCode.Build(wLengths.data(), 32);
        return wCode;
    }();
    return cCode;
}

class TDecoder {
public:
    TDecoder(const Deflate64::TSource& xSource, const Deflate64::TSink& xSink)
        : FSource(xSource),
          FSink(xSink),
          FInBuf(std::make_unique_for_overwrite<unsigned char[]>(cInChunk)),
          FOut(std::make_unique_for_overwrite<unsigned char[]>(cOutCapacity + cCopySlack)) {}

    std::uint64_t Run() {
        bool wFinal = false;
        do {
            Refill();
            wFinal = Take(1) != 0;
            switch (Take(2)) {
            case 0:
                StoredBlock();
                break;
            case 1:
                CodedBlock(FixedLitLen(), FixedDist());
                break;
            case 2:
                ReadDynamicCodes();
                CodedBlock(FLitLen, FDist);
                break;
            default:
                Fail("invalid block type");
            }
        } while (!wFinal);
        Flush();
        return FTotal;
    }

private:
    const Deflate64::TSource& FSource;
    const Deflate64::TSink& FSink;
    std::unique_ptr<unsigned char[]> FInBuf;
    const unsigned char* FIn = nullptr;
    const unsigned char* FEnd = nullptr;
    bool FInputEnded = false;
    // Bits above FBitCount are either zero or the low bits of *FIn, so or-ing that byte in again
    // is harmless.
    std::uint64_t FBitBuf = 0;
    unsigned FBitCount = 0;

    // Output with the last 64 KiB of history kept in front of what is not yet handed on.
    std::unique_ptr<unsigned char[]> FOut;
    std::size_t FPos = 0;
    std::size_t FFlushed = 0;
    std::uint64_t FTotal = 0;

    THuffman FLitLen, FDist, FCodeLenCode;

    bool ReadInput() {
        if (FInputEnded)
            return false;
        const std::size_t wGot = FSource(FInBuf.get(), cInChunk);
        if (wGot > cInChunk)
            Fail("input source returned more than it was asked for");
        if (wGot == 0) {
            FInputEnded = true;
            return false;
        }
        FIn = FInBuf.get();
        FEnd = FIn + wGot;
        return true;
    }

    // Brings the bit buffer to at least 56 bits unless the input ends first.
    void Refill() {
        if constexpr (std::endian::native == std::endian::little) {
            if (FEnd - FIn >= 8) {
                std::uint64_t wWord;
                std::memcpy(&wWord, FIn, 8);
                FBitBuf |= wWord << FBitCount;
                FIn += (63 - FBitCount) >> 3;
                FBitCount |= 56;
                return;
            }
        }
        while (FBitCount < 56) {
            if (FIn == FEnd && !ReadInput())
                return;
            FBitBuf |= std::uint64_t(*FIn++) << FBitCount;
            FBitCount += 8;
        }
    }

    void Drop(unsigned xBits) {
        FBitBuf >>= xBits;
        FBitCount -= xBits;
    }

    unsigned Take(unsigned xBits) {
        if (xBits > FBitCount)
            FailTruncated();
        const auto wValue = static_cast<unsigned>(FBitBuf & ((std::uint64_t(1) << xBits) - 1));
        Drop(xBits);
        return wValue;
    }

    unsigned DecodeSymbol(const THuffman& xCode) {
        const std::uint16_t wEntry = xCode.Fast[FBitBuf & ((1u << cFastBits) - 1)];
        if (wEntry != 0) {
            const unsigned wLen = wEntry & 15u;
            if (wLen > FBitCount)
                FailTruncated();
            Drop(wLen);
            return wEntry >> 4;
        }
        // Walk the canonical code one bit at a time: codes of each length follow those of the
        // previous length, doubled.
        int wCode = 0, wFirst = 0, wIndex = 0;
        std::uint64_t wBits = FBitBuf;
        for (unsigned wLen = 1; wLen <= cMaxCodeBits; ++wLen) {
            if (wLen > FBitCount)
                FailTruncated();
            wCode |= static_cast<int>(wBits & 1);
            wBits >>= 1;
            const int wCount = xCode.Count[wLen];
            if (wCode - wFirst < wCount) {
                Drop(wLen);
                return xCode.Symbol[static_cast<std::size_t>(wIndex + wCode - wFirst)];
            }
            wIndex += wCount;
            wFirst = (wFirst + wCount) << 1;
            wCode <<= 1;
        }
        Fail("invalid Huffman code");
    }

    void Flush() {
        if (FPos > FFlushed) {
            FSink(FOut.get() + FFlushed, FPos - FFlushed);
            FTotal += FPos - FFlushed;
        }
        if (FPos > cWindowSize) {
            std::memmove(FOut.get(), FOut.get() + FPos - cWindowSize, cWindowSize);
            FPos = cWindowSize;
        }
        FFlushed = FPos;
    }

    void StoredBlock() {
        Drop(FBitCount & 7u);
        Refill();
        const unsigned wLen = Take(16);
        if (Take(16) != (~wLen & 0xFFFFu))
            Fail("stored block length check failed");
        if (FPos + cMaxMatch > cOutCapacity)
            Flush();
        unsigned char* wDst = FOut.get() + FPos;
        std::size_t wLeft = wLen;
        for (; wLeft > 0 && FBitCount >= 8; --wLeft) {
            *wDst++ = static_cast<unsigned char>(FBitBuf);
            Drop(8);
        }
        if (FBitCount == 0)
            FBitBuf = 0;  // the rest is copied from the input directly
        while (wLeft > 0) {
            if (FIn == FEnd && !ReadInput())
                FailTruncated();
            const std::size_t wPiece = std::min(wLeft, static_cast<std::size_t>(FEnd - FIn));
            std::memcpy(wDst, FIn, wPiece);
            FIn += wPiece;
            wDst += wPiece;
            wLeft -= wPiece;
        }
        FPos += wLen;
    }

    void ReadDynamicCodes() {
        Refill();
        const unsigned wNLit = Take(5) + 257;
        const unsigned wNDist = Take(5) + 1;  // all 32 distance codes are in use
        const unsigned wNCodeLen = Take(4) + 4;
        if (wNLit > 286)
            Fail("too many length codes");

        std::array<std::uint8_t, 19> wCodeLenLengths{};
        for (unsigned i = 0; i < wNCodeLen; ++i) {
            if (FBitCount < 3)
                Refill();
            wCodeLenLengths[cCodeLengthOrder[i]] = static_cast<std::uint8_t>(Take(3));
        }
        FCodeLenCode.Build(wCodeLenLengths.data(), 19);

        std::array<std::uint8_t, 286 + 32> wLengths{};
        const unsigned wTotal = wNLit + wNDist;
        unsigned wN = 0;
        while (wN < wTotal) {
            if (FBitCount < 14)
                Refill();
            const unsigned wSym = DecodeSymbol(FCodeLenCode);
            if (wSym < 16) {
                wLengths[wN++] = static_cast<std::uint8_t>(wSym);
                continue;
            }
            std::uint8_t wValue = 0;
            unsigned wRepeat;
            if (wSym == 16) {
                if (wN == 0)
                    Fail("code length repeat with no previous length");
                wValue = wLengths[wN - 1];
                wRepeat = 3 + Take(2);
            } else if (wSym == 17) {
                wRepeat = 3 + Take(3);
            } else {
                wRepeat = 11 + Take(7);
            }
            if (wN + wRepeat > wTotal)
                Fail("code length repeat runs past the end");
            for (; wRepeat > 0; --wRepeat)
                wLengths[wN++] = wValue;
        }
        if (wLengths[256] == 0)
            Fail("no end-of-block code");
        FLitLen.Build(wLengths.data(), wNLit);
        FDist.Build(wLengths.data() + wNLit, wNDist);
    }

    void CodedBlock(const THuffman& xLitLen, const THuffman& xDist) {
        unsigned char* const wOut = FOut.get();
        std::size_t wPos = FPos;
        for (;;) {
            if (wPos + cMaxMatch > cOutCapacity) {
                FPos = wPos;
                Flush();
                wPos = FPos;
            }
            // The longest length code with its extra bits takes 31 bits, a distance 29.
            if (FBitCount < 31)
                Refill();
            unsigned wSym = DecodeSymbol(xLitLen);
            if (wSym < 256) {
                wOut[wPos++] = static_cast<unsigned char>(wSym);
                continue;
            }
            if (wSym == 256)
                break;
            wSym -= 257;
            if (wSym >= 29)
                Fail("invalid literal/length code");
            const std::size_t wLen = cLengthBase[wSym] + std::size_t(Take(cLengthExtra[wSym]));
            if (FBitCount < 29)
                Refill();
            const unsigned wDistSym = DecodeSymbol(xDist);
            const std::size_t wDist = cDistBase[wDistSym] + std::size_t(Take(cDistExtra[wDistSym]));
            // Everything before wPos is real output, and it holds the whole window once 64 KiB
            // have been produced.
            if (wDist > wPos)
                Fail("distance too far back");

            unsigned char* wDst = wOut + wPos;
            const unsigned char* wSrc = wDst - wDist;
            if (wDist >= 8) {
                unsigned char* const wStop = wDst + wLen;
                do {
                    std::memcpy(wDst, wSrc, 8);
                    wDst += 8;
                    wSrc += 8;
                } while (wDst < wStop);
            } else if (wDist == 1) {
                std::memset(wDst, *wSrc, wLen);
            } else {
                for (std::size_t i = 0; i < wLen; ++i)
                    wDst[i] = wSrc[i];
            }
            wPos += wLen;
        }
        FPos = wPos;
    }
};

}  // namespace

std::uint64_t Deflate64::Decode(const TSource& xSource, const TSink& xSink) {
    return TDecoder(xSource, xSink).Run();
}
