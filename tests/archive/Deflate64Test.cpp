// The Deflate64 decoder on its own: hand-made streams that reach the parts where it differs from
// deflate, streams from 7-Zip checked against Info-ZIP unzip, and broken streams.
#include "ArchiveTestKit.h"
#include "Deflate64.h"
#include "Error.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

using namespace ArchiveTestKit;

namespace {

// Writes streams bit by bit with the fixed code, and keeps the output they stand for.
class TStreamWriter {
public:
    QByteArray Stream;
    QByteArray Expected;

    void Bits(std::uint32_t xValue, unsigned xCount) {
        FAcc |= std::uint64_t(xValue) << FCount;
        FCount += xCount;
        for (; FCount >= 8; FCount -= 8, FAcc >>= 8)
            Stream += static_cast<char>(FAcc & 0xFF);
    }
    void Header(bool xFinal, unsigned xType) {
        Bits(xFinal ? 1 : 0, 1);
        Bits(xType, 2);
    }
    // Huffman codes go out most significant bit first.
    void Code(std::uint32_t xCode, unsigned xLen) {
        for (unsigned i = xLen; i-- > 0;)
            Bits((xCode >> i) & 1, 1);
    }
    void FixedSymbol(unsigned xSym) {
        if (xSym < 144)
            Code(0x30 + xSym, 8);
        else if (xSym < 256)
            Code(0x190 + xSym - 144, 9);
        else if (xSym < 280)
            Code(xSym - 256, 7);
        else
            Code(0xC0 + xSym - 280, 8);
    }
    void Literal(char c) {
        FixedSymbol(static_cast<unsigned char>(c));
        Expected += c;
    }
    void Literals(const QByteArray& x) {
        for (char c : x)
            Literal(c);
    }
    void EndOfBlock() { FixedSymbol(256); }

    // A match with the fixed code; xWith285 spends length code 285 on any length.
    void Match(unsigned xLen, unsigned xDist, bool xWith285 = false) {
        static constexpr unsigned cBase[29] = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,  15,  17,  19,  23, 27,
                                               31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 3};
        static constexpr unsigned cExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 16};
        static constexpr unsigned cDBase[32] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
                                                49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
                                                2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
        static constexpr unsigned cDExtra[32] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,  6,
                                                 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
        unsigned wCode = 28;
        if (!xWith285 && xLen <= 258)
            for (wCode = 27; cBase[wCode] > xLen; --wCode) {
            }
        FixedSymbol(257 + wCode);
        Bits(xLen - cBase[wCode], cExtra[wCode]);
        unsigned wDCode = 31;
        while (cDBase[wDCode] > xDist)
            --wDCode;
        Code(wDCode, 5);
        Bits(xDist - cDBase[wDCode], cDExtra[wDCode]);
        for (unsigned i = 0; i < xLen; ++i)
            Expected += Expected[Expected.size() - xDist];
    }

    void Stored(const QByteArray& xData, bool xFinal) {
        Header(xFinal, 0);
        if (FCount % 8 != 0)
            Bits(0, 8 - FCount % 8);
        const auto wLen = static_cast<std::uint32_t>(xData.size());
        Bits(wLen, 16);
        Bits(~wLen & 0xFFFF, 16);
        Stream += xData;
        Expected += xData;
    }

    QByteArray Finish() {
        if (FCount > 0)
            Stream += static_cast<char>(FAcc & 0xFF);
        FAcc = 0;
        FCount = 0;
        return Stream;
    }

private:
    std::uint64_t FAcc = 0;
    unsigned FCount = 0;
};

// Decodes xStream handed over in pieces of xPiece bytes (0: all at once). The source hands out
// each piece once, and checks that nothing asks again once it has said the input ended.
QByteArray Decode(const QByteArray& xStream, std::size_t xPiece = 0, std::uint64_t* xReturned = nullptr) {
    qsizetype wAt = 0;
    bool wEnded = false;
    QByteArray wOut;
    const std::uint64_t wCount = Deflate64::Decode(
        [&](unsigned char* xBuffer, std::size_t xCapacity) -> std::size_t {
            EXPECT_FALSE(wEnded) << "input asked for after it ended";
            std::size_t wLen = std::min<std::size_t>(xCapacity, static_cast<std::size_t>(xStream.size() - wAt));
            if (xPiece > 0)
                wLen = std::min(wLen, xPiece);
            std::memcpy(xBuffer, xStream.constData() + wAt, wLen);
            wAt += static_cast<qsizetype>(wLen);
            wEnded = wLen == 0;
            return wLen;
        },
        [&](const unsigned char* xData, std::size_t xSize) {
            wOut.append(reinterpret_cast<const char*>(xData), static_cast<qsizetype>(xSize));
        });
    if (xReturned)
        *xReturned = wCount;
    return wOut;
}

struct TCase {
    const char* Name;
    std::function<void(TStreamWriter&)> Write;
};

const std::vector<TCase>& GoodCases() {
    static const std::vector<TCase> cCases = {
        {"stored block", [](TStreamWriter& w) { w.Stored("plain stored bytes", true); }},
        {"empty final stored block", [](TStreamWriter& w) { w.Stored({}, true); }},
        {"literals and overlapping matches",
         [](TStreamWriter& w) {
             w.Header(true, 1);
             w.Literals("abc");
             w.Match(7, 3);
             w.Match(30, 1);
             w.Match(25, 5);
             w.EndOfBlock();
         }},
        {"length code 285 at full length",
         [](TStreamWriter& w) {
             w.Header(true, 1);
             w.Literals("xy");
             w.Match(65538, 2);
             w.Match(65538, 1);
             w.Match(65538, 13);
             w.EndOfBlock();
         }},
        {"code 284 up to 258 and code 285 for short lengths",
         [](TStreamWriter& w) {
             w.Header(true, 1);
             w.Literals("abcdefgh");
             w.Match(3, 4, true);
             w.Match(258, 8);
             w.Match(259, 5);
             w.Match(4000, 9, true);
             w.EndOfBlock();
         }},
        {"distance codes 30 and 31 up to 64 KiB back",
         [](TStreamWriter& w) {
             w.Header(true, 1);
             w.Literals(RandomBytes(65536, 7));
             w.Match(100, 65536);
             w.Match(300, 49153);
             w.Match(50, 49152);
             w.Match(20, 32769);
             w.Match(9, 40000);
             w.EndOfBlock();
         }},
        {"far matches across the 1 MiB output pieces",
         [](TStreamWriter& w) {
             w.Header(false, 1);
             w.Literals(RandomBytes(70000, 8));
             w.EndOfBlock();
             w.Header(true, 1);
             for (int i = 0; i < 40; ++i) {
                 w.Match(65538, 65536);
                 w.Literal(static_cast<char>(i));
                 w.Match(777, 60001);
             }
             w.EndOfBlock();
         }},
        {"stored block between coded blocks, off a byte boundary",
         [](TStreamWriter& w) {
             w.Header(false, 1);
             w.Literals("12345");
             w.EndOfBlock();
             w.Stored(RandomBytes(3000, 9), false);
             w.Header(true, 1);
             w.Match(2000, 2500);
             w.EndOfBlock();
         }},
    };
    return cCases;
}

}  // namespace

TEST(Deflate64, HandMadeStreamsDecodeInAnyPieces) {
    for (const TCase& wCase : GoodCases()) {
        SCOPED_TRACE(wCase.Name);
        TStreamWriter w;
        wCase.Write(w);
        const QByteArray wStream = w.Finish();
        for (std::size_t wPiece : {std::size_t(0), std::size_t(1), std::size_t(3), std::size_t(4096)}) {
            SCOPED_TRACE(wPiece);
            std::uint64_t wReturned = 0;
            const QByteArray wOut = Decode(wStream, wPiece, &wReturned);
            ASSERT_EQ(wOut.size(), w.Expected.size());
            EXPECT_TRUE(wOut == w.Expected);
            EXPECT_EQ(wReturned, static_cast<std::uint64_t>(w.Expected.size()));
        }
    }
}

// The hand-made streams are only as good as this test's reading of the format: Info-ZIP's unzip,
// with a Deflate64 decoder of its own, must read them the same way.
TEST(Deflate64, HandMadeStreamsAgreeWithUnzip) {
    if (FindTool(QStringLiteral("unzip")).isEmpty())
        GTEST_SKIP() << "unzip is not installed";
    QTemporaryDir wTmp;
    const QString wArchive = wTmp.filePath(QStringLiteral("hand.zip"));
    std::vector<TRawEntry> wEntries;
    std::vector<QByteArray> wExpected;
    int wNumber = 0;
    for (const TCase& wCase : GoodCases()) {
        TStreamWriter w;
        wCase.Write(w);
        const QByteArray wStream = w.Finish();
        wEntries.push_back({"case" + QByteArray::number(++wNumber), w.Expected, 0100644, 9, wStream});
        wExpected.push_back(w.Expected);
    }
    WriteFile(wArchive, BuildZip(wEntries));
    for (std::size_t i = 0; i < wEntries.size(); ++i) {
        SCOPED_TRACE(GoodCases()[i].Name);
        const QByteArray wOut = RunTool(QStringLiteral("unzip"), {QStringLiteral("-p"), wArchive, QString::fromLatin1(wEntries[i].Name)});
        EXPECT_TRUE(wOut == wExpected[i]) << wOut.size() << " bytes, expected " << wExpected[i].size();
    }
}

TEST(Deflate64, InputAfterTheFinalBlockIsIgnored) {
    TStreamWriter w;
    w.Header(true, 1);
    w.Literals("end");
    w.EndOfBlock();
    const QByteArray wStream = w.Finish() + QByteArray(100, '\xFF');
    EXPECT_EQ(Decode(wStream), QByteArray("end"));
}

// A stream cut anywhere must fail cleanly: a decoder that ran past the bytes it was given would
// make up the rest instead.
TEST(Deflate64, EveryCutShortStreamFails) {
    for (const TCase& wCase : GoodCases()) {
        SCOPED_TRACE(wCase.Name);
        TStreamWriter w;
        wCase.Write(w);
        const QByteArray wStream = w.Finish();
        const qsizetype wSize = wStream.size();
        const qsizetype wStep = wSize <= 4096 ? 1 : wSize / 200;
        for (qsizetype wCut = 0; wCut < wSize; wCut += (wCut >= wSize - 64 ? 1 : wStep)) {
            SCOPED_TRACE(wCut);
            EXPECT_THROW(Decode(wStream.left(wCut), 1 + static_cast<std::size_t>(wCut % 5)), EVelError);
        }
    }
}

TEST(Deflate64, BrokenStreamsFailWithTheReason) {
    struct TBad {
        const char* Name;
        std::function<void(TStreamWriter&)> Write;
        const char* Reason;
    };
    // Dynamic headers: the code-length code's lengths come in this order.
    const auto wDynamic = [](TStreamWriter& w, unsigned xNLit, unsigned xNCodeLen, std::vector<unsigned> xCodeLen) {
        w.Header(true, 2);
        w.Bits(xNLit - 257, 5);
        w.Bits(0, 5);
        w.Bits(xNCodeLen - 4, 4);
        for (unsigned i = 0; i < xNCodeLen; ++i)
            w.Bits(i < xCodeLen.size() ? xCodeLen[i] : 0, 3);
    };
    const std::vector<TBad> wCases = {
        {"empty input", [](TStreamWriter&) {}, "unexpected end"},
        {"block type 3", [](TStreamWriter& w) { w.Header(true, 3); }, "invalid block type"},
        {"stored length and its complement disagree",
         [](TStreamWriter& w) {
             w.Header(true, 0);
             w.Bits(0, 5);
             w.Bits(5, 16);
             w.Bits(5, 16);
             w.Stream += "abcde";
         },
         "length check"},
        {"stored block cut short",
         [](TStreamWriter& w) {
             w.Header(true, 0);
             w.Bits(0, 5);
             w.Bits(10, 16);
             w.Bits(~10u & 0xFFFF, 16);
             w.Stream += "abc";
         },
         "unexpected end"},
        {"distance before the first byte",
         [](TStreamWriter& w) {
             w.Header(true, 1);
             w.Literals("ab");
             w.FixedSymbol(257);  // length 3
             w.Code(2, 5);        // distance 3
             w.EndOfBlock();
         },
         "too far back"},
        {"literal/length code 286",
         [](TStreamWriter& w) {
             w.Header(true, 1);
             w.FixedSymbol(286);
         },
         "invalid literal/length code"},
        {"no final block",
         [](TStreamWriter& w) {
             w.Header(false, 1);
             w.Literals("a");
             w.EndOfBlock();
         },
         "unexpected end"},
        {"more than 286 literal/length codes", [&](TStreamWriter& w) { wDynamic(w, 287, 4, {}); }, "too many length codes"},
        {"over-subscribed code-length code", [&](TStreamWriter& w) { wDynamic(w, 257, 4, {1, 1, 1, 1}); }, "over-subscribed"},
        {"bit pattern outside an incomplete code",
         [&](TStreamWriter& w) {
             wDynamic(w, 257, 4, {0, 0, 0, 1});  // only length 0 has a code: "0"
             w.Bits(1, 1);
             w.Bits(0, 16);
         },
         "invalid Huffman code"},
        {"repeat with no previous length",
         [&](TStreamWriter& w) {
             wDynamic(w, 257, 4, {1, 0, 0, 1});  // code "0" for length 0, "1" for repeat
             w.Bits(1, 1);
         },
         "no previous length"},
        {"zero run past the last length",
         [&](TStreamWriter& w) {
             wDynamic(w, 257, 4, {0, 0, 1, 1});  // "0" for length 0, "1" for a long zero run
             for (int i = 0; i < 2; ++i) {
                 w.Bits(1, 1);
                 w.Bits(127, 7);  // 138 zeros each
             }
         },
         "runs past the end"},
        {"no end-of-block code",
         [&](TStreamWriter& w) {
             // Lengths 0 and 1 (the 18th code-length slot) get codes "0" and "1".
             wDynamic(w, 257, 18, {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
             w.Bits(1, 1);
             w.Bits(1, 1);
             for (int i = 2; i < 258; ++i)
                 w.Bits(0, 1);
         },
         "no end-of-block code"},
    };
    for (const TBad& wCase : wCases) {
        SCOPED_TRACE(wCase.Name);
        TStreamWriter w;
        wCase.Write(w);
        const QByteArray wStream = w.Finish();
        try {
            Decode(wStream);
            ADD_FAILURE() << "no error";
        } catch (const EVelError& x) {
            EXPECT_TRUE(x.Message().contains(QLatin1String(wCase.Reason))) << x.what();
        }
    }
}

// 7-Zip's encoder makes dynamic blocks; Info-ZIP's unzip has a Deflate64 decoder of its own.
class Deflate64FromSevenZip : public ::testing::Test {
protected:
    QTemporaryDir FTmp;
    QString FArchive;
    QStringList FNames;

    void SetUp() override {
        for (const char* wTool : {"7zz", "unzip"})
            if (FindTool(QString::fromLatin1(wTool)).isEmpty())
                GTEST_SKIP() << wTool << " is not installed";
        const QString wSrc = FTmp.filePath(QStringLiteral("src"));
        WriteFile(wSrc + QStringLiteral("/short.txt"), PseudoText(1000, 11));
        WriteFile(wSrc + QStringLiteral("/far.bin"), FarMatches());
        WriteFile(wSrc + QStringLiteral("/long.txt"), PseudoText(3'000'000, 12));
        FNames = {QStringLiteral("short.txt"), QStringLiteral("far.bin"), QStringLiteral("long.txt")};
        FArchive = FTmp.filePath(QStringLiteral("d64.zip"));
        RunTool(QStringLiteral("7zz"), QStringList{QStringLiteral("a"), QStringLiteral("-tzip"), QStringLiteral("-mm=Deflate64"),
                                                   QStringLiteral("-mx=9"), FArchive} + FNames,
                wSrc);
    }
};

TEST_F(Deflate64FromSevenZip, DecodesAsUnzipDoesInAnyPieces) {
    for (qsizetype i = 0; i < FNames.size(); ++i) {
        SCOPED_TRACE(FNames[i].toStdString());
        int wMethod = 0;
        const QByteArray wStream = RawEntryData(FArchive, FNames[i], &wMethod);
        ASSERT_EQ(wMethod, 9);
        const QByteArray wReference = RunTool(QStringLiteral("unzip"), {QStringLiteral("-p"), FArchive, FNames[i]});
        ASSERT_FALSE(wReference.isEmpty());
        EXPECT_TRUE(Decode(wStream) == wReference);
        EXPECT_TRUE(Decode(wStream, 1) == wReference);
        EXPECT_TRUE(Decode(wStream, 777) == wReference);
    }
}

// Damaged input must end in an error or in some output, never in a crash or a runaway. Huffman
// codes fall back into step quickly, so much damage decodes "fine"; the CRC check is there for that.
TEST_F(Deflate64FromSevenZip, DamagedStreamsNeverCrash) {
    struct TTooMuch {};
    const QByteArray wStream = RawEntryData(FArchive, QStringLiteral("short.txt"));
    const QByteArray wFar = RawEntryData(FArchive, QStringLiteral("far.bin"));
    std::uint32_t wSeed = 12345;
    for (int i = 0; i < 1500; ++i) {
        QByteArray wBad = (i % 2 == 0) ? wStream : wFar;
        for (int k = 0; k < 1 + i % 3; ++k) {
            wSeed = wSeed * 1664525u + 1013904223u;
            const auto wAt = static_cast<qsizetype>((wSeed >> 8) % static_cast<std::uint32_t>(wBad.size()));
            wBad[wAt] = static_cast<char>(wBad[wAt] ^ static_cast<char>(1 + (wSeed >> 24) % 255));
        }
        std::size_t wTotal = 0;
        try {
            qsizetype wAt = 0;
            Deflate64::Decode(
                [&](unsigned char* xBuffer, std::size_t xCapacity) {
                    const std::size_t wLen = std::min<std::size_t>(xCapacity, static_cast<std::size_t>(wBad.size() - wAt));
                    std::memcpy(xBuffer, wBad.constData() + wAt, wLen);
                    wAt += static_cast<qsizetype>(wLen);
                    return wLen;
                },
                [&](const unsigned char*, std::size_t xSize) {
                    wTotal += xSize;
                    if (wTotal > 64u << 20)
                        throw TTooMuch{};
                });
        } catch (const EVelError&) {
        } catch (const TTooMuch&) {
        }
    }
}
