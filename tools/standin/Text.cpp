#include "Text.h"

namespace standin {
namespace {

// Code points of bytes 0x80..0x9F in code page 1252; 0 where the byte is undefined.
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

// Decodes one code point; malformed input yields U+FFFD and moves on by one byte.
char32_t NextCodePoint(std::string_view xText, size_t& xPos) {
    auto c = static_cast<unsigned char>(xText[xPos++]);
    if (c < 0x80) return c;
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
    if (extra < 0 || xPos + extra > xText.size()) return 0xFFFD;
    char32_t cp = c & (0x3F >> extra);
    for (int i = 0; i < extra; ++i) {
        auto d = static_cast<unsigned char>(xText[xPos + i]);
        if ((d & 0xC0) != 0x80) return 0xFFFD;
        cp = (cp << 6) | (d & 0x3F);
    }
    xPos += extra;
    return cp;
}

void AppendUtf8(std::string& xOut, char32_t xCp) {
    if (xCp < 0x80) {
        xOut += static_cast<char>(xCp);
    } else if (xCp < 0x800) {
        xOut += static_cast<char>(0xC0 | (xCp >> 6));
        xOut += static_cast<char>(0x80 | (xCp & 0x3F));
    } else if (xCp < 0x10000) {
        xOut += static_cast<char>(0xE0 | (xCp >> 12));
        xOut += static_cast<char>(0x80 | ((xCp >> 6) & 0x3F));
        xOut += static_cast<char>(0x80 | (xCp & 0x3F));
    } else {
        xOut += static_cast<char>(0xF0 | (xCp >> 18));
        xOut += static_cast<char>(0x80 | ((xCp >> 12) & 0x3F));
        xOut += static_cast<char>(0x80 | ((xCp >> 6) & 0x3F));
        xOut += static_cast<char>(0x80 | (xCp & 0x3F));
    }
}

int ToCp1252(char32_t xCp) {
    if (xCp < 0x80 || (xCp >= 0xA0 && xCp <= 0xFF)) return static_cast<int>(xCp);
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == xCp && xCp != 0) return 0x80 + i;
    return -1;
}

}  // namespace

std::string Utf16ToUtf8(const uint8_t* xData, size_t xBytes) {
    std::string out;
    out.reserve(xBytes / 2);
    for (size_t i = 0; i + 1 < xBytes; i += 2) {
        char32_t u = xData[i] | (xData[i + 1] << 8);
        if (u >= 0xD800 && u < 0xDC00 && i + 3 < xBytes) {
            char32_t l = xData[i + 2] | (xData[i + 3] << 8);
            if (l >= 0xDC00 && l < 0xE000) {
                u = 0x10000 + ((u - 0xD800) << 10) + (l - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(out, u);
    }
    return out;
}

void AppendUtf16(std::vector<uint8_t>& xOut, std::string_view xUtf8) {
    size_t pos = 0;
    while (pos < xUtf8.size()) {
        char32_t cp = NextCodePoint(xUtf8, pos);
        auto put = [&](char32_t u) {
            xOut.push_back(static_cast<uint8_t>(u & 0xFF));
            xOut.push_back(static_cast<uint8_t>(u >> 8));
        };
        if (cp >= 0x10000) {
            cp -= 0x10000;
            put(0xD800 + (cp >> 10));
            put(0xDC00 + (cp & 0x3FF));
        } else {
            put(cp);
        }
    }
}

size_t Utf16Units(std::string_view xUtf8) {
    size_t pos = 0, n = 0;
    while (pos < xUtf8.size()) n += NextCodePoint(xUtf8, pos) >= 0x10000 ? 2 : 1;
    return n;
}

std::string Cp1252ToUtf8(const uint8_t* xData, size_t xBytes) {
    std::string out;
    out.reserve(xBytes);
    for (size_t i = 0; i < xBytes; ++i) {
        uint8_t b = xData[i];
        char32_t cp = b;
        if (b >= 0x80 && b < 0xA0) cp = kCp1252High[b - 0x80] ? kCp1252High[b - 0x80] : b;
        AppendUtf8(out, cp);
    }
    return out;
}

void AppendCp1252(std::vector<uint8_t>& xOut, std::string_view xUtf8) {
    size_t pos = 0;
    while (pos < xUtf8.size()) {
        int b = ToCp1252(NextCodePoint(xUtf8, pos));
        xOut.push_back(static_cast<uint8_t>(b < 0 ? '?' : b));
    }
}

std::string ThroughCp1252(std::string_view xUtf8) {
    bool ascii = true;
    for (char c : xUtf8) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) return std::string(xUtf8);
    std::vector<uint8_t> bytes;
    AppendCp1252(bytes, xUtf8);
    return Cp1252ToUtf8(bytes.data(), bytes.size());
}

std::string Lower(std::string_view xText) {
    std::string out(xText);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool EqualsNoCase(std::string_view xA, std::string_view xB) {
    if (xA.size() != xB.size()) return false;
    for (size_t i = 0; i < xA.size(); ++i) {
        char a = xA[i], b = xB[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

}  // namespace standin
