#pragma once
// Text encodings met on the wire: UTF-16LE (batches, NVARCHAR) and code page 1252 (VARCHAR
// under the server's default collation). Inside the stand-in every text is UTF-8.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

std::string Utf16ToUtf8(const uint8_t* xData, size_t xBytes);
void AppendUtf16(std::vector<uint8_t>& xOut, std::string_view xUtf8);
size_t Utf16Units(std::string_view xUtf8);

std::string Cp1252ToUtf8(const uint8_t* xData, size_t xBytes);
void AppendCp1252(std::vector<uint8_t>& xOut, std::string_view xUtf8);  // unmappable: '?'
// What a non-Unicode literal keeps of a text after passing through code page 1252.
std::string ThroughCp1252(std::string_view xUtf8);

std::string Lower(std::string_view xText);  // ASCII only
bool EqualsNoCase(std::string_view xA, std::string_view xB);

}  // namespace standin
