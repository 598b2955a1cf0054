#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "Engine.h"
#include "StandIn.h"
#include "Text.h"

namespace standin {

namespace fs = std::filesystem;
using engine::ColumnMeta;
using engine::Value;
using sql::SqlError;
using sql::TypeId;

namespace {

// SQL_Latin1_General_CP1_CI_AS: SQL Server's default, code page 1252, case-insensitive.
constexpr uint8_t kCollation[5] = {0x09, 0x04, 0xD0, 0x00, 0x34};
constexpr size_t kFlushAt = 256 * 1024;

enum : uint8_t {
    kPktBatch = 0x01, kPktRpc = 0x03, kPktReply = 0x04, kPktAttention = 0x06, kPktTm = 0x0E,
    kPktLogin7 = 0x10, kPktPrelogin = 0x12,
};

struct ProtocolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct Closed {};

// ---- bytes ----
struct Buf {
    std::vector<uint8_t> B;
    void U8(unsigned x) { B.push_back(static_cast<uint8_t>(x)); }
    void U16(unsigned x) {
        U8(x & 0xFF);
        U8((x >> 8) & 0xFF);
    }
    void U32(uint32_t x) {
        for (int i = 0; i < 4; ++i) U8((x >> (8 * i)) & 0xFF);
    }
    void U64(uint64_t x) {
        for (int i = 0; i < 8; ++i) U8(static_cast<unsigned>((x >> (8 * i)) & 0xFF));
    }
    void Raw(const void* xData, size_t xSize) {
        auto p = static_cast<const uint8_t*>(xData);
        B.insert(B.end(), p, p + xSize);
    }
    void BVarchar(const std::string& xUtf8) {
        std::vector<uint8_t> u;
        AppendUtf16(u, xUtf8);
        U8(static_cast<unsigned>(std::min<size_t>(u.size() / 2, 255)));
        Raw(u.data(), std::min<size_t>(u.size(), 510));
    }
    void UsVarchar(const std::string& xUtf8) {
        std::vector<uint8_t> u;
        AppendUtf16(u, xUtf8);
        U16(static_cast<unsigned>(u.size() / 2));
        Raw(u.data(), u.size());
    }
};

class Reader {
public:
    Reader(const uint8_t* xData, size_t xSize) : FData(xData), FSize(xSize) {}
    bool AtEnd() const { return FPos >= FSize; }
    size_t Pos() const { return FPos; }
    size_t Left() const { return FSize - FPos; }
    const uint8_t* Here() const { return FData + FPos; }
    void Need(size_t n) const {
        if (FSize - FPos < n) throw ProtocolError("truncated request");
    }
    uint8_t U8() {
        Need(1);
        return FData[FPos++];
    }
    uint16_t U16() {
        Need(2);
        uint16_t v = static_cast<uint16_t>(FData[FPos] | (FData[FPos + 1] << 8));
        FPos += 2;
        return v;
    }
    uint32_t U32() {
        Need(4);
        uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | FData[FPos + i];
        FPos += 4;
        return v;
    }
    uint64_t U64() {
        uint64_t lo = U32();
        uint64_t hi = U32();
        return lo | (hi << 32);
    }
    const uint8_t* Take(size_t n) {
        Need(n);
        const uint8_t* p = FData + FPos;
        FPos += n;
        return p;
    }
    void Seek(size_t xPos) { FPos = xPos; }
    std::string Utf16(size_t xChars) { return Utf16ToUtf8(Take(xChars * 2), xChars * 2); }

private:
    const uint8_t* FData;
    size_t FSize;
    size_t FPos = 0;
};

// ---- socket ----
class Socket {
public:
    explicit Socket(int xFd) : FFd(xFd), FIn(256 * 1024) {}
    ~Socket() {
        if (FFd >= 0) ::close(FFd);
    }
    int Fd() const { return FFd; }

    void ReadExact(uint8_t* xOut, size_t xSize) {
        while (xSize > 0) {
            if (FBegin == FEnd) Fill();
            size_t n = std::min(xSize, FEnd - FBegin);
            std::memcpy(xOut, FIn.data() + FBegin, n);
            FBegin += n;
            xOut += n;
            xSize -= n;
        }
    }
    // Appends to xOut, reading straight into it: a large request is copied only once.
    void ReadAppend(std::vector<uint8_t>& xOut, size_t xSize) {
        size_t at = xOut.size();
        if (xOut.capacity() < at + xSize) xOut.reserve(std::max(at + xSize, xOut.capacity() * 2));
        xOut.resize(at + xSize);
        ReadExact(xOut.data() + at, xSize);
    }
    bool Readable() {
        if (FBegin != FEnd) return true;
        pollfd p{FFd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }
    bool WaitReadable(int xMs) {
        if (FBegin != FEnd) return true;
        pollfd p{FFd, POLLIN, 0};
        return ::poll(&p, 1, xMs) > 0;
    }
    void Send(const uint8_t* xData, size_t xSize) {
        while (xSize > 0) {
            ssize_t n = ::send(FFd, xData, xSize, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw Closed{};
            xData += n;
            xSize -= static_cast<size_t>(n);
        }
    }

private:
    void Fill() {
        for (;;) {
            ssize_t n = ::recv(FFd, FIn.data(), FIn.size(), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw Closed{};
            FBegin = 0;
            FEnd = static_cast<size_t>(n);
            return;
        }
    }
    int FFd;
    std::vector<uint8_t> FIn;
    size_t FBegin = 0, FEnd = 0;
};

struct Message {
    uint8_t Type = 0;
    std::vector<uint8_t> Data;
};

// Cuts the reply stream into packets and sends several at once.
class Out {
public:
    Out(Socket& xSocket) : FSocket(xSocket) { FPacket.resize(8); }
    void SetPacketSize(size_t xSize) { FPacketSize = xSize; }
    void SetSpid(int xSpid) { FSpid = xSpid; }
    void Put(const void* xData, size_t xSize) {
        auto p = static_cast<const uint8_t*>(xData);
        while (xSize > 0) {
            if (FPacket.size() == FPacketSize) Packet(false);
            size_t n = std::min(xSize, FPacketSize - FPacket.size());
            FPacket.insert(FPacket.end(), p, p + n);
            p += n;
            xSize -= n;
        }
    }
    void Put(const Buf& xBuf) { Put(xBuf.B.data(), xBuf.B.size()); }
    void EndMessage() {
        Packet(true);
        FPacketId = 1;
    }
    // Holds the reply back instead of sending it (to cut it off on purpose).
    void Capture(bool xOn) { FCapturing = xOn; }
    std::vector<uint8_t> TakeCaptured() { return std::move(FCaptured); }

private:
    void Packet(bool xLast) {
        size_t len = FPacket.size();
        FPacket[0] = kPktReply;
        FPacket[1] = xLast ? 0x01 : 0x00;
        FPacket[2] = static_cast<uint8_t>(len >> 8);
        FPacket[3] = static_cast<uint8_t>(len & 0xFF);
        FPacket[4] = static_cast<uint8_t>(FSpid >> 8);
        FPacket[5] = static_cast<uint8_t>(FSpid & 0xFF);
        FPacket[6] = FPacketId++;
        FPacket[7] = 0;
        std::vector<uint8_t>& target = FCapturing ? FCaptured : FPending;
        target.insert(target.end(), FPacket.begin(), FPacket.end());
        FPacket.resize(8);
        if (!FCapturing && (xLast || FPending.size() >= kFlushAt)) {
            FSocket.Send(FPending.data(), FPending.size());
            FPending.clear();
        }
    }
    Socket& FSocket;
    size_t FPacketSize = 4096;
    int FSpid = 0;
    uint8_t FPacketId = 1;
    std::vector<uint8_t> FPacket, FPending, FCaptured;
    bool FCapturing = false;
};

struct Prepared {
    std::string Sql;
    std::vector<std::string> Names;
};

struct RpcParam {
    std::string Name;
    uint8_t Status = 0;
    Value V;
};

__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

// A DECIMAL value as an integer count of its smallest unit (12.50 at scale 2 is 1250).
Int128 ScaledDecimal(sqlite3_stmt* xStmt, int xI, int xScale) {
    long double scale = 1;
    Int128 factor = 1;
    for (int i = 0; i < xScale; ++i) scale *= 10, factor *= 10;
    if (sqlite3_column_type(xStmt, xI) == SQLITE_INTEGER) return static_cast<Int128>(sqlite3_column_int64(xStmt, xI)) * factor;
    long double v = sqlite3_column_type(xStmt, xI) == SQLITE_FLOAT
                        ? static_cast<long double>(sqlite3_column_double(xStmt, xI))
                        : std::strtold(reinterpret_cast<const char*>(sqlite3_column_text(xStmt, xI)), nullptr);
    return static_cast<Int128>(std::llroundl(v * scale));
}

std::string DecimalText(Int128 xScaled, int xScale) {
    bool negative = xScaled < 0;
    UInt128 m = negative ? static_cast<UInt128>(-xScaled) : static_cast<UInt128>(xScaled);
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    } while (m > 0);
    while (static_cast<int>(digits.size()) <= xScale) digits.insert(digits.begin(), '0');
    if (xScale > 0) digits.insert(digits.end() - xScale, '.');
    return (negative ? "-" : "") + digits;
}

unsigned DecimalBytes(int xPrecision) {
    return xPrecision <= 9 ? 5 : xPrecision <= 19 ? 9 : xPrecision <= 28 ? 13 : 17;
}

std::string Escape(const std::string& xText) {
    std::string out;
    for (char c : xText) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

}  // namespace

// ---- server state -------------------------------------------------------------------------
class Connection;

struct Server::TImpl {
    Options Opt;
    std::string Directory;
    bool OwnDirectory = false;
    std::unique_ptr<engine::Catalog> Catalog;

    mutable std::mutex Mutex;  // everything below
    std::vector<std::pair<std::string, std::string>> Users;
    std::vector<Request> Log;
    struct FaultState {
        Fault F;
        int Seen = 0;
        int Left = 0;
    };
    std::vector<FaultState> Faults;
    FILE* LogFile = nullptr;
    int NextConnection = 1;
    int NextSpid = 51;

    int ListenFd = -1;
    uint16_t BoundPort = 0;
    std::atomic<bool> Stopping{false};
    std::thread Acceptor;
    struct Client {
        std::shared_ptr<Connection> C;
        std::thread T;
        std::shared_ptr<std::atomic<bool>> Finished;
    };
    std::list<Client> Clients;

    void AcceptLoop();
    void Record(const Request& xRequest);
    std::optional<Fault> MatchFault(const std::string& xText);
    bool CheckLogin(const std::string& xUser, const std::string& xPassword) {
        std::lock_guard lock(Mutex);
        if (Users.empty()) return true;  // no logins configured: anyone may enter
        for (const auto& [name, password] : Users)
            if (EqualsNoCase(name, xUser) && password == xPassword) return true;
        return false;
    }
};

void Server::TImpl::Record(const Request& xRequest) {
    std::lock_guard lock(Mutex);
    Log.push_back(xRequest);
    if (LogFile) {
        std::string line = std::to_string(xRequest.Connection) + " " + xRequest.Database + " " + xRequest.Kind + " " +
                           Escape(xRequest.Text) + "\n";
        std::fwrite(line.data(), 1, line.size(), LogFile);
        std::fflush(LogFile);
    }
}

std::optional<Fault> Server::TImpl::MatchFault(const std::string& xText) {
    std::lock_guard lock(Mutex);
    std::string text = Lower(xText);
    for (FaultState& f : Faults) {
        if (!f.F.Match.empty() && text.find(Lower(f.F.Match)) == std::string::npos) continue;
        ++f.Seen;
        if (f.F.Nth != 0 && f.Seen != f.F.Nth) continue;
        if (f.Left == 0) continue;
        if (f.Left > 0) --f.Left;
        return f.F;
    }
    return std::nullopt;
}

// ---- one client connection ----------------------------------------------------------------
class Connection : public engine::Sink {
public:
    Connection(Server::TImpl& xServer, int xFd) : FServer(xServer), FSocket(xFd), FOut(FSocket) {}

    void Run() {
        try {
            if (!Login()) return;
            for (;;) {
                Message m = ReadMessage();
                Dispatch(m);
            }
        } catch (const Closed&) {
        } catch (const std::exception&) {
        }
        FSession.reset();  // rolls back what the client left open
        Shutdown();        // the client sees the end now, not when the thread is reaped
    }
    void Shutdown() { ::shutdown(FSocket.Fd(), SHUT_RDWR); }

    // ---- sink ----
    void Columns(const std::vector<ColumnMeta>& xColumns) override {
        FlushDone(true);
        Buf b;
        b.U8(0x81);
        b.U16(static_cast<unsigned>(xColumns.size()));
        for (const ColumnMeta& c : xColumns) {
            if (FTds72) b.U32(0);
            else b.U16(0);
            unsigned flags = (c.Nullable ? 0x01 : 0) | (c.Identity ? 0x10 : 0) | 0x08;
            b.U16(flags);
            TypeInfo(b, c);
            b.BVarchar(c.Name);
        }
        FOut.Put(b);
    }

    void Row(sqlite3_stmt* xStmt, const std::vector<ColumnMeta>& xColumns) override {
        FOut.Put("\xD1", 1);
        for (size_t i = 0; i < xColumns.size(); ++i) Cell(xStmt, static_cast<int>(i), xColumns[i].Type);
    }

    void Done(uint16_t xCurCmd, bool xCounted, int64_t xRows, bool xError) override {
        FlushDone(true);
        FDone = {true, static_cast<uint16_t>((xCounted ? 0x10 : 0) | (xError ? 0x02 : 0)), xCurCmd, xRows};
        FAnyError = FAnyError || xError;
    }

    void Error(const SqlError& xError) override {
        FlushDone(true);
        Notice(0xAA, xError.Number, xError.State, xError.Class, xError.what(), xError.Line);
        FAnyError = true;
    }

    void Info(int xNumber, const std::string& xMessage) override {
        FlushDone(true);
        Notice(0xAB, xNumber, 1, 0, xMessage, 1);
    }

    void Transaction(engine::TranEvent xEvent, const uint8_t* xOld, const uint8_t* xNew) override {
        FlushDone(true);
        Buf v;
        v.U8(xEvent == engine::TranEvent::Begin ? 8 : xEvent == engine::TranEvent::Commit ? 9 : 10);
        v.U8(xNew ? 8 : 0);
        if (xNew) v.Raw(xNew, 8);
        v.U8(xOld ? 8 : 0);
        if (xOld) v.Raw(xOld, 8);
        EnvChange(v);
    }

    void DatabaseChanged(const std::string& xOld, const std::string& xNew) override {
        FlushDone(true);
        Buf v;
        v.U8(1);
        v.BVarchar(xNew);
        v.BVarchar(xOld);
        EnvChange(v);
        Info(5701, "Changed database context to '" + xNew + "'.");
    }

    bool Cancelled() override {
        if (!FAttention && FSocket.Readable()) {
            // Without MARS the only thing a client may send now is an attention.
            uint8_t header[8];
            FSocket.ReadExact(header, 8);
            size_t len = (header[2] << 8) | header[3];
            std::vector<uint8_t> body;
            if (len > 8) FSocket.ReadAppend(body, len - 8);
            if (header[0] == kPktAttention) FAttention = true;
        }
        return FAttention;
    }

private:
    // ---- login ----
    Message ReadMessage() {
        Message m;
        for (;;) {
            uint8_t header[8];
            FSocket.ReadExact(header, 8);
            size_t len = (header[2] << 8) | header[3];
            if (len < 8) throw ProtocolError("bad packet length");
            m.Type = header[0];
            FSocket.ReadAppend(m.Data, len - 8);
            if (header[1] & 0x01) return m;
        }
    }

    bool Login() {
        Message m = ReadMessage();
        if (m.Type == kPktPrelogin) {
            Prelogin();
            m = ReadMessage();
        }
        if (m.Type != kPktLogin7) return false;
        Reader r(m.Data.data(), m.Data.size());
        r.Need(94);
        r.U32();
        uint32_t version = r.U32();
        uint32_t packetSize = r.U32();
        r.Seek(25);
        uint8_t flags2 = r.U8();
        auto field = [&](size_t xAt) {
            r.Seek(xAt);
            uint16_t offset = r.U16(), chars = r.U16();
            Reader f(m.Data.data(), m.Data.size());
            f.Seek(offset);
            return f.Utf16(chars);
        };
        std::string user = field(40);
        r.Seek(44);
        uint16_t pwOffset = r.U16(), pwChars = r.U16();
        Reader pr(m.Data.data(), m.Data.size());
        pr.Seek(pwOffset);
        const uint8_t* pwData = pr.Take(pwChars * 2u);
        std::vector<uint8_t> pw(pwData, pwData + pwChars * 2u);
        for (uint8_t& b : pw) {
            b ^= 0xA5;
            b = static_cast<uint8_t>((b << 4) | (b >> 4));
        }
        std::string password = Utf16ToUtf8(pw.data(), pw.size());
        std::string database = field(68);

        FTds72 = version >= 0x72000000;
        if (version >= 0x74000000) FVersion = 0x74000004;
        else if (version >= 0x73000000) FVersion = 0x730B0003;
        else if (version >= 0x72000000) FVersion = 0x72090002;
        else FVersion = 0x71000001;
        FOut.SetPacketSize(packetSize >= 512 && packetSize <= 32767 ? packetSize : 4096);
        FPacketSize = packetSize >= 512 && packetSize <= 32767 ? packetSize : 4096;

        auto refuse = [&](int xNumber, int xClass, const std::string& xText) {
            Notice(0xAA, xNumber, 1, xClass, xText, 1);
        };
        bool ok = true;
        if (version < 0x71000000) {
            refuse(18456, 14, "Login failed for user '" + user + "'.");
            ok = false;
        } else if (flags2 & 0x80) {
            refuse(18452, 14,
                   "Login failed. The login is from an untrusted domain and cannot be used with Integrated "
                   "authentication.");
            ok = false;
        } else if (!FServer.CheckLogin(user, password)) {
            refuse(18456, 14, "Login failed for user '" + user + "'.");
            ok = false;
        } else {
            if (database.empty()) {
                database = "master";
                FServer.Catalog->Create(database);
            }
            if (!FServer.Catalog->CanonicalName(database)) {
                refuse(4060, 11, "Cannot open database \"" + database + "\" requested by the login. The login failed.");
                refuse(18456, 14, "Login failed for user '" + user + "'.");
                ok = false;
            }
        }
        if (!ok) {
            WriteDone(0xFD, 0x02, 0, 0);
            FOut.EndMessage();
            return false;
        }
        {
            std::lock_guard lock(FServer.Mutex);
            FNumber = FServer.NextConnection++;
            FSpid = FServer.NextSpid++;
        }
        FOut.SetSpid(FSpid);
        FSession = std::make_unique<engine::Session>(*FServer.Catalog, FSpid, user);
        FSession->Use(database);

        DatabaseChanged("master", FSession->Database());
        Buf collation;
        collation.U8(7);
        collation.U8(5);
        collation.Raw(kCollation, 5);
        collation.U8(0);
        EnvChange(collation);
        Buf language;
        language.U8(2);
        language.BVarchar("us_english");
        language.BVarchar("");
        EnvChange(language);
        Info(5703, "Changed language setting to us_english.");

        Buf ack;
        Buf body;
        body.U8(1);  // T-SQL
        for (int shift = 24; shift >= 0; shift -= 8) body.U8((FVersion >> shift) & 0xFF);
        body.BVarchar("Microsoft SQL Server");
        body.U8(15), body.U8(0), body.U8(0x07), body.U8(0xD0);
        ack.U8(0xAD);
        ack.U16(static_cast<unsigned>(body.B.size()));
        ack.Raw(body.B.data(), body.B.size());
        FOut.Put(ack);

        Buf size;
        size.U8(4);
        size.BVarchar(std::to_string(FPacketSize));
        size.BVarchar(std::to_string(FPacketSize));
        EnvChange(size);
        WriteDone(0xFD, 0, 0, 0);
        FOut.EndMessage();
        return true;
    }

    void Prelogin() {
        // VERSION, ENCRYPTION (not supported), INSTOPT, THREADID, MARS (off).
        const uint8_t data[] = {0x0F, 0x00, 0x07, 0xD0, 0x00, 0x00, 0x02, 0x00, 0x00};
        Buf b;
        size_t headers = 5 * 5 + 1;
        auto option = [&](uint8_t xType, size_t xOffset, size_t xLen) {
            b.U8(xType);
            b.U8(static_cast<unsigned>((headers + xOffset) >> 8));
            b.U8(static_cast<unsigned>((headers + xOffset) & 0xFF));
            b.U8(0);
            b.U8(static_cast<unsigned>(xLen));
        };
        option(0, 0, 6);
        option(1, 6, 1);
        option(2, 7, 1);
        option(3, 8, 0);
        option(4, 8, 1);
        b.U8(0xFF);
        b.Raw(data, sizeof data);
        FOut.Put(b);
        FOut.EndMessage();
    }

    // ---- requests ----
    void Dispatch(Message& xMessage) {
        FAttention = false;
        FAnyError = false;
        FDone.Pending = false;
        switch (xMessage.Type) {
        case kPktBatch: Batch(xMessage); break;
        case kPktRpc: Rpc(xMessage); break;
        case kPktTm: Tm(xMessage); break;
        case kPktAttention:
            WriteDone(0xFD, 0x20, 0, 0);
            FOut.EndMessage();
            break;
        default: throw ProtocolError("unexpected packet type");
        }
    }

    static void SkipAllHeaders(Reader& xR) {
        size_t start = xR.Pos();
        uint32_t total = xR.U32();
        if (total < 4) throw ProtocolError("bad headers");
        xR.Seek(start + total);
    }

    // Runs xWork under the faults that match xText; false when the connection must close.
    template <typename F>
    void Guarded(const std::string& xKind, const std::string& xText, bool xInProc, F xWork) {
        FServer.Record({FNumber, FSession->Database(), xKind, xText});
        std::optional<Fault> fault = FServer.MatchFault(xText);
        FInProc = xInProc;
        bool mid = false;
        if (fault) {
            switch (fault->What) {
            case Fault::Action::CloseBefore: throw Closed{};
            case Fault::Action::Error: {
                SqlError e(fault->ErrorNumber, fault->ErrorClass, fault->ErrorState, fault->ErrorMessage);
                Error(e);
                Done(0, false, 0, true);
                Finish(xInProc, [] {});
                return;
            }
            case Fault::Action::Delay: {
                auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(fault->DelayMs);
                while (std::chrono::steady_clock::now() < until && !FServer.Stopping) {
                    FSocket.WaitReadable(10);
                    if (Cancelled()) {
                        WriteDone(0xFD, 0x20, 0, 0);
                        FOut.EndMessage();
                        return;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                break;
            }
            case Fault::Action::CloseMidResult:
                mid = true;
                FOut.Capture(true);
                break;
            }
        }
        try {
            xWork();
        } catch (const engine::Cancelled&) {
            FDone.Pending = false;
            WriteDone(0xFD, 0x20, 0, 0);
            FOut.EndMessage();
            return;
        }
        if (mid) {
            FOut.Capture(false);
            std::vector<uint8_t> reply = FOut.TakeCaptured();
            FSocket.Send(reply.data(), reply.size() / 2);
            throw Closed{};
        }
    }

    template <typename F>
    void Finish(bool xInProc, F xBeforeDoneProc) {
        if (!xInProc) {
            if (FDone.Pending) FlushDone(false);
            else WriteDone(0xFD, 0, 0, 0);
        } else {
            FlushDone(true);
            Buf status;
            status.U8(0x79);
            status.U32(FAnyError ? 1 : 0);
            FOut.Put(status);
            xBeforeDoneProc();
            WriteDone(0xFE, FAnyError ? 0x02 : 0, 0, 0);
        }
        FOut.EndMessage();
    }

    void Batch(Message& xMessage) {
        Reader r(xMessage.Data.data(), xMessage.Data.size());
        if (FTds72) SkipAllHeaders(r);
        std::string sql = r.Utf16(r.Left() / 2);
        Guarded("batch", sql, false, [&] {
            FSession->Execute(sql, {}, *this);
            Finish(false, [] {});
        });
    }

    void Tm(Message& xMessage) {
        Reader r(xMessage.Data.data(), xMessage.Data.size());
        if (FTds72) SkipAllHeaders(r);
        uint16_t type = r.U16();
        const char* what = type == 5 ? "BEGIN" : type == 7 ? "COMMIT" : type == 8 ? "ROLLBACK" : "OTHER";
        Guarded("tm", what, false, [&] {
            try {
                if (type == 5) {
                    FSession->TmBegin(*this);
                } else if (type == 7 || type == 8) {
                    r.Take(2u * r.U8());
                    bool beginNew = !r.AtEnd() && r.U8() != 0;
                    if (type == 7) FSession->TmCommit(*this, beginNew);
                    else FSession->TmRollback(*this, beginNew);
                } else {
                    throw SqlError(102, 15, 1, "Incorrect syntax near 'transaction manager request'.");
                }
            } catch (const SqlError& e) {
                Error(e);
                Done(0, false, 0, true);
            }
            Finish(false, [] {});
        });
    }

    Value ReadValue(Reader& xR, const std::string& xName) {
        uint8_t type = xR.U8();
        Value v;
        auto integer = [&](size_t xBytes) {
            if (xBytes == 0) return;
            const uint8_t* p = xR.Take(xBytes);
            uint64_t u = 0;
            for (size_t i = xBytes; i-- > 0;) u = (u << 8) | p[i];
            int64_t s = static_cast<int64_t>(u);
            if (xBytes < 8 && (u >> (xBytes * 8 - 1)) & 1 && xBytes != 1) s = static_cast<int64_t>(u | (~0ULL << (xBytes * 8)));
            v.Kind = Value::K::Int;
            v.I = s;
        };
        auto real = [&](size_t xBytes) {
            if (xBytes == 0) return;
            const uint8_t* p = xR.Take(xBytes);
            v.Kind = Value::K::Float;
            if (xBytes == 4) {
                float f;
                std::memcpy(&f, p, 4);
                v.F = f;
            } else {
                std::memcpy(&v.F, p, 8);
            }
        };
        switch (type) {
        case 0x1F: return v;
        case 0x30: integer(1), v.Declared = sql::SqlType{TypeId::TinyInt, 0}; return v;
        case 0x32: integer(1), v.Declared = sql::SqlType{TypeId::Bit, 0}; return v;
        case 0x34: integer(2), v.Declared = sql::SqlType{TypeId::SmallInt, 0}; return v;
        case 0x38: integer(4), v.Declared = sql::SqlType{TypeId::Int, 0}; return v;
        case 0x7F: integer(8), v.Declared = sql::SqlType{TypeId::BigInt, 0}; return v;
        case 0x3B: real(4), v.Declared = sql::SqlType{TypeId::Real, 0}; return v;
        case 0x3E: real(8), v.Declared = sql::SqlType{TypeId::Float, 0}; return v;
        case 0x26:
        case 0x68: {
            uint8_t max = xR.U8();
            integer(xR.U8());
            if (type == 0x68) v.Declared = sql::SqlType{TypeId::Bit, 0};
            else v.Declared = sql::SqlType{max == 1 ? TypeId::TinyInt : max == 2 ? TypeId::SmallInt : max == 8 ? TypeId::BigInt : TypeId::Int, 0};
            return v;
        }
        case 0x6D: {
            xR.U8();
            real(xR.U8());
            v.Declared = sql::SqlType{TypeId::Float, 0};
            return v;
        }
        case 0x6A:
        case 0x6C: {
            xR.U8();
            xR.U8();
            uint8_t scale = xR.U8();
            uint8_t len = xR.U8();
            if (len == 0) return v;
            bool positive = xR.U8() == 1;
            const uint8_t* p = xR.Take(len - 1u);
            double mag = 0;
            for (size_t i = len - 1u; i-- > 0;) mag = mag * 256 + p[i];
            for (int i = 0; i < scale; ++i) mag /= 10;
            if (!positive) mag = -mag;
            if (scale == 0 && mag >= -9.2e18 && mag <= 9.2e18) {
                v.Kind = Value::K::Int;
                v.I = static_cast<int64_t>(mag);
            } else {
                v.Kind = Value::K::Float;
                v.F = mag;
            }
            return v;
        }
        case 0xA7:
        case 0xAF:
        case 0xE7:
        case 0xEF:
        case 0xA5:
        case 0xAD: {
            bool text = type == 0xA7 || type == 0xAF || type == 0xE7 || type == 0xEF;
            bool unicode = type == 0xE7 || type == 0xEF;
            uint16_t max = xR.U16();
            if (text) xR.Take(5);
            TypeId id = type == 0xA7 ? TypeId::VarChar
                        : type == 0xAF ? TypeId::Char
                        : type == 0xE7 ? TypeId::NVarChar
                        : type == 0xEF ? TypeId::NChar
                        : type == 0xA5 ? TypeId::VarBinary
                                       : TypeId::Binary;
            int length = max == 0xFFFF ? -1 : unicode ? max / 2 : max;
            v.Declared = sql::SqlType{id, length};
            const uint8_t* data = nullptr;
            size_t size = 0;
            if (max == 0xFFFF) {
                uint64_t total = xR.U64();
                if (total == ~0ULL) return v;
                // One chunk (what FreeTDS sends) stays in the request buffer; several are joined.
                std::string joined;
                int chunks = 0;
                for (;;) {
                    uint32_t n = xR.U32();
                    if (n == 0) break;
                    const uint8_t* p = xR.Take(n);
                    if (chunks++ == 0) {
                        data = p;
                        size = n;
                    } else {
                        if (chunks == 2) joined.assign(reinterpret_cast<const char*>(data), size);
                        joined.append(reinterpret_cast<const char*>(p), n);
                    }
                }
                if (chunks >= 2) {
                    v.S = std::move(joined);
                    data = reinterpret_cast<const uint8_t*>(v.S.data());
                    size = v.S.size();
                }
            } else {
                uint16_t n = xR.U16();
                if (n == 0xFFFF) return v;
                data = xR.Take(n);
                size = n;
            }
            if (!text) {
                v.Kind = Value::K::Blob;
                if (v.S.empty()) {
                    v.Data = data;
                    v.Size = size;
                }
            } else {
                std::string s = unicode ? Utf16ToUtf8(data, size) : Cp1252ToUtf8(data, size);
                v.Kind = Value::K::Text;
                v.S = std::move(s);
            }
            return v;
        }
        case 0x23:
        case 0x63:
        case 0x22: {
            xR.U32();
            if (type != 0x22) xR.Take(5);
            uint32_t n = xR.U32();
            v.Declared = sql::SqlType{type == 0x23 ? TypeId::VarChar : type == 0x63 ? TypeId::NVarChar : TypeId::VarBinary, -1};
            if (n == 0xFFFFFFFF) return v;
            const uint8_t* p = xR.Take(n);
            if (type == 0x22) {
                v.Kind = Value::K::Blob;
                v.Data = p;
                v.Size = n;
            } else {
                v.Kind = Value::K::Text;
                v.S = type == 0x63 ? Utf16ToUtf8(p, n) : Cp1252ToUtf8(p, n);
            }
            return v;
        }
        default: {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", type);
            throw SqlError(8016, 16, 6,
                           "The incoming tabular data stream (TDS) remote procedure call (RPC) protocol stream is "
                           "incorrect. Parameter (\"" +
                               xName + "\"): Data type " + hex + " is unknown.");
        }
        }
    }

    void Rpc(Message& xMessage) {
        Reader r(xMessage.Data.data(), xMessage.Data.size());
        if (FTds72) SkipAllHeaders(r);
        uint16_t nameLen = r.U16();
        std::string proc;
        int procId = 0;
        if (nameLen == 0xFFFF) procId = r.U16();
        else proc = Lower(r.Utf16(nameLen));
        r.U16();
        static const std::map<std::string, int> kIds = {{"sp_executesql", 10}, {"sp_prepare", 11}, {"sp_execute", 12},
                                                        {"sp_prepexec", 13}, {"sp_unprepare", 15}};
        if (procId == 0 && kIds.count(proc)) procId = kIds.at(proc);
        std::vector<RpcParam> params;
        std::optional<SqlError> bad;
        try {
            while (!r.AtEnd() && *r.Here() != 0x80 && *r.Here() != 0xFF) {
                RpcParam p;
                p.Name = r.Utf16(r.U8());
                p.Status = r.U8();
                p.V = ReadValue(r, p.Name);
                params.push_back(std::move(p));
            }
        } catch (const SqlError& e) {
            bad = e;
        }
        auto text = [&](size_t i) { return i < params.size() ? params[i].V.S : std::string(); };
        auto bind = [&](size_t xFirst, const std::vector<std::string>& xNames) {
            engine::Params out;
            for (size_t i = xFirst; i < params.size(); ++i) {
                std::string name = params[i].Name;
                if (name.empty() && i - xFirst < xNames.size()) name = xNames[i - xFirst];
                if (!name.empty() && name[0] == '@') name = name.substr(1);
                out.emplace_back(name, std::move(params[i].V));
            }
            return out;
        };
        std::string statement;
        engine::Params bound;
        std::optional<int> handle;
        switch (procId) {
        case 10:
            statement = text(0);
            bound = bind(2, sql::ParamDefinitionNames(text(1)));
            break;
        case 11:
        case 13: {
            statement = text(2);
            std::vector<std::string> names = sql::ParamDefinitionNames(text(1));
            handle = FNextHandle++;
            FPrepared[*handle] = {statement, names};
            if (procId == 13) bound = bind(3, names);
            else
                for (const auto& n : names) bound.emplace_back(n, Value{});  // NULLs: only described
            break;
        }
        case 12: {
            int h = params.empty() ? 0 : static_cast<int>(params[0].V.I);
            auto it = FPrepared.find(h);
            if (it == FPrepared.end()) {
                bad = SqlError(8179, 16, 2, "Could not find prepared statement with handle " + std::to_string(h) + ".");
                break;
            }
            statement = it->second.Sql;
            bound = bind(1, it->second.Names);
            break;
        }
        case 15:
            if (!params.empty()) FPrepared.erase(static_cast<int>(params[0].V.I));
            break;
        default:
            bad = SqlError(2812, 16, 62, "Could not find stored procedure '" + (proc.empty() ? "#" + std::to_string(procId) : proc) + "'.");
        }
        static const std::map<int, std::string> kNames = {{10, "sp_executesql"}, {11, "sp_prepare"}, {12, "sp_execute"},
                                                          {13, "sp_prepexec"}, {15, "sp_unprepare"}};
        if (proc.empty()) proc = kNames.count(procId) ? kNames.at(procId) : "procedure " + std::to_string(procId);
        std::string logged = statement.empty() ? proc : statement;
        Guarded("rpc", logged, true, [&] {
            if (bad) {
                Error(*bad);
                Done(0, false, 0, true);
            } else if (procId == 10 || procId == 12 || procId == 13) {
                FSession->Execute(statement, bound, *this);
            } else if (procId == 11) {
                try {
                    FSession->Describe(statement, bound, *this);
                } catch (const SqlError& e) {
                    Error(e);
                    Done(0, false, 0, true);
                }
            }
            Finish(true, [&] {
                if (!handle) return;
                Buf b;
                b.U8(0xAC);
                b.U16(0);
                b.BVarchar(params.empty() ? "" : params[0].Name);
                b.U8(0x01);
                if (FTds72) b.U32(0);
                else b.U16(0);
                b.U16(0);
                b.U8(0x26);
                b.U8(4);
                b.U8(4);
                b.U32(static_cast<uint32_t>(*handle));
                FOut.Put(b);
            });
        });
    }

    // ---- tokens ----
    void FlushDone(bool xMore) {
        if (!FDone.Pending) return;
        FDone.Pending = false;
        WriteDone(FInProc ? 0xFF : 0xFD, FDone.Status | (xMore ? 0x01 : 0), FDone.CurCmd, FDone.Rows);
    }

    void WriteDone(uint8_t xToken, unsigned xStatus, unsigned xCurCmd, int64_t xRows) {
        Buf b;
        b.U8(xToken);
        b.U16(xStatus);
        b.U16(xCurCmd);
        if (FTds72) b.U64(static_cast<uint64_t>(xRows));
        else b.U32(static_cast<uint32_t>(xRows));
        FOut.Put(b);
    }

    void Notice(uint8_t xToken, int xNumber, int xState, int xClass, const std::string& xText, int xLine) {
        Buf body;
        body.U32(static_cast<uint32_t>(xNumber));
        body.U8(static_cast<unsigned>(xState));
        body.U8(static_cast<unsigned>(xClass));
        body.UsVarchar(xText);
        body.BVarchar("STANDIN");
        body.BVarchar("");
        if (FTds72) body.U32(static_cast<uint32_t>(xLine));
        else body.U16(static_cast<unsigned>(xLine));
        Buf b;
        b.U8(xToken);
        b.U16(static_cast<unsigned>(body.B.size()));
        b.Raw(body.B.data(), body.B.size());
        FOut.Put(b);
    }

    void EnvChange(const Buf& xValue) {
        Buf b;
        b.U8(0xE3);
        b.U16(static_cast<unsigned>(xValue.B.size()));
        b.Raw(xValue.B.data(), xValue.B.size());
        FOut.Put(b);
    }

    bool Legacy(const sql::SqlType& xType) const { return !FTds72 && xType.Length < 0; }

    void TypeInfo(Buf& xB, const ColumnMeta& xC) {
        const sql::SqlType& t = xC.Type;
        auto sized = [&](uint8_t xType, unsigned xMax, bool xCollated) {
            xB.U8(xType);
            xB.U16(xMax);
            if (xCollated) xB.Raw(kCollation, 5);
        };
        auto legacy = [&](uint8_t xType, bool xCollated) {
            // TDS 7.1 knows no MAX types: they travel as text, ntext and image.
            xB.U8(xType);
            xB.U32(0x7FFFFFFF);
            if (xCollated) xB.Raw(kCollation, 5);
            xB.UsVarchar("");
        };
        switch (t.Id) {
        case TypeId::TinyInt: xB.U8(0x26), xB.U8(1); break;
        case TypeId::SmallInt: xB.U8(0x26), xB.U8(2); break;
        case TypeId::Int: xB.U8(0x26), xB.U8(4); break;
        case TypeId::BigInt: xB.U8(0x26), xB.U8(8); break;
        case TypeId::Bit: xB.U8(0x68), xB.U8(1); break;
        case TypeId::Float: xB.U8(0x6D), xB.U8(8); break;
        case TypeId::Real: xB.U8(0x6D), xB.U8(4); break;
        case TypeId::VarChar:
            if (Legacy(t)) legacy(0x23, true);
            else sized(0xA7, t.Length < 0 ? 0xFFFF : static_cast<unsigned>(t.Length), true);
            break;
        case TypeId::Char: sized(0xAF, static_cast<unsigned>(t.Length), true); break;
        case TypeId::NVarChar:
            if (Legacy(t)) legacy(0x63, true);
            else sized(0xE7, t.Length < 0 ? 0xFFFF : static_cast<unsigned>(t.Length * 2), true);
            break;
        case TypeId::NChar: sized(0xEF, static_cast<unsigned>(t.Length * 2), true); break;
        case TypeId::VarBinary:
            if (Legacy(t)) legacy(0x22, false);
            else sized(0xA5, t.Length < 0 ? 0xFFFF : static_cast<unsigned>(t.Length), false);
            break;
        case TypeId::Binary: sized(0xAD, static_cast<unsigned>(t.Length), false); break;
        case TypeId::Decimal:
            xB.U8(0x6C);
            xB.U8(DecimalBytes(t.Length));
            xB.U8(static_cast<unsigned>(t.Length));
            xB.U8(static_cast<unsigned>(t.Scale));
            break;
        }
    }

    void Cell(sqlite3_stmt* xStmt, int xI, const sql::SqlType& xType) {
        bool null = sqlite3_column_type(xStmt, xI) == SQLITE_NULL;
        Buf b;
        switch (xType.Id) {
        case TypeId::TinyInt:
        case TypeId::SmallInt:
        case TypeId::Int:
        case TypeId::BigInt:
        case TypeId::Bit: {
            unsigned size = xType.Id == TypeId::TinyInt || xType.Id == TypeId::Bit ? 1
                            : xType.Id == TypeId::SmallInt                       ? 2
                            : xType.Id == TypeId::Int                            ? 4
                                                                                 : 8;
            if (null) {
                b.U8(0);
                break;
            }
            int64_t v = sqlite3_column_int64(xStmt, xI);
            if (xType.Id == TypeId::Bit) v = v != 0;
            b.U8(size);
            for (unsigned k = 0; k < size; ++k) b.U8(static_cast<unsigned>((static_cast<uint64_t>(v) >> (8 * k)) & 0xFF));
            break;
        }
        case TypeId::Float:
        case TypeId::Real: {
            if (null) {
                b.U8(0);
                break;
            }
            double d = sqlite3_column_double(xStmt, xI);
            if (xType.Id == TypeId::Real) {
                float f = static_cast<float>(d);
                b.U8(4);
                b.Raw(&f, 4);
            } else {
                b.U8(8);
                b.Raw(&d, 8);
            }
            break;
        }
        case TypeId::VarChar:
        case TypeId::Char:
        case TypeId::NVarChar:
        case TypeId::NChar: {
            std::vector<uint8_t> bytes;
            bool unicode = xType.Id == TypeId::NVarChar || xType.Id == TypeId::NChar;
            if (!null) {
                auto p = reinterpret_cast<const char*>(sqlite3_column_text(xStmt, xI));
                std::string_view s(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(xStmt, xI)));
                if (unicode) AppendUtf16(bytes, s);
                else AppendCp1252(bytes, s);
                if (xType.Id == TypeId::Char || xType.Id == TypeId::NChar) {
                    size_t want = static_cast<size_t>(xType.Length) * (unicode ? 2 : 1);
                    while (bytes.size() < want) {
                        bytes.push_back(' ');
                        if (unicode) bytes.push_back(0);
                    }
                }
                if (xType.Length > 0) bytes.resize(std::min(bytes.size(), static_cast<size_t>(xType.Length) * (unicode ? 2 : 1)));
            }
            FOut.Put(b);
            Variable(xType, null, bytes.data(), bytes.size());
            return;
        }
        case TypeId::Decimal: {
            if (null) {
                b.U8(0);
                break;
            }
            Int128 v = ScaledDecimal(xStmt, xI, xType.Scale);
            unsigned size = DecimalBytes(xType.Length);
            b.U8(size);
            b.U8(v < 0 ? 0 : 1);
            UInt128 m = v < 0 ? static_cast<UInt128>(-v) : static_cast<UInt128>(v);
            for (unsigned k = 0; k + 1 < size; ++k) {
                b.U8(static_cast<unsigned>(m & 0xFF));
                m >>= 8;
            }
            break;
        }
        case TypeId::VarBinary:
        case TypeId::Binary: {
            const uint8_t* p = nullptr;
            size_t n = 0;
            if (!null) {
                p = static_cast<const uint8_t*>(sqlite3_column_blob(xStmt, xI));
                n = static_cast<size_t>(sqlite3_column_bytes(xStmt, xI));
                if (xType.Length > 0) n = std::min(n, static_cast<size_t>(xType.Length));
            }
            Variable(xType, null, p, n);
            return;
        }
        }
        FOut.Put(b);
    }

    void Variable(const sql::SqlType& xType, bool xNull, const uint8_t* xData, size_t xSize) {
        Buf b;
        if (Legacy(xType)) {
            if (xNull) {
                b.U8(0);
                FOut.Put(b);
                return;
            }
            b.U8(16);
            for (int i = 0; i < 16; ++i) b.U8(0xFF);
            for (int i = 0; i < 8; ++i) b.U8(0);
            b.U32(static_cast<uint32_t>(xSize));
            FOut.Put(b);
            FOut.Put(xData, xSize);
            return;
        }
        if (xType.Length < 0) {
            if (xNull) {
                b.U64(~0ULL);
                FOut.Put(b);
                return;
            }
            b.U64(xSize);
            if (xSize > 0) b.U32(static_cast<uint32_t>(xSize));
            FOut.Put(b);
            FOut.Put(xData, xSize);
            Buf end;
            end.U32(0);
            FOut.Put(end);
            return;
        }
        if (xNull) {
            b.U16(0xFFFF);
            FOut.Put(b);
            return;
        }
        b.U16(static_cast<unsigned>(xSize));
        FOut.Put(b);
        FOut.Put(xData, xSize);
    }

    Server::TImpl& FServer;
    Socket FSocket;
    Out FOut;
    std::unique_ptr<engine::Session> FSession;
    bool FTds72 = true;
    uint32_t FVersion = 0x74000004;
    size_t FPacketSize = 4096;
    int FNumber = 0;
    int FSpid = 0;
    bool FInProc = false;
    bool FAttention = false;
    bool FAnyError = false;
    struct {
        bool Pending = false;
        uint16_t Status = 0;
        uint16_t CurCmd = 0;
        int64_t Rows = 0;
    } FDone;
    std::map<int, Prepared> FPrepared;
    int FNextHandle = 1;
};

void Server::TImpl::AcceptLoop() {
    while (!Stopping) {
        int fd = ::accept(ListenFd, nullptr, nullptr);
        if (fd < 0) {
            if (Stopping) break;
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard lock(Mutex);
        // Threads of connections that ended are joined here, so they do not pile up.
        for (auto it = Clients.begin(); it != Clients.end();) {
            if (*it->Finished) {
                it->T.join();
                it = Clients.erase(it);
            } else {
                ++it;
            }
        }
        auto conn = std::make_shared<Connection>(*this, fd);
        auto finished = std::make_shared<std::atomic<bool>>(false);
        Clients.push_back({conn, std::thread([conn, finished] {
                               conn->Run();
                               *finished = true;
                           }),
                           finished});
    }
}

// ---- public API ---------------------------------------------------------------------------
namespace {

// Collects what a batch run through the API produces.
class CollectSink : public engine::Sink {
public:
    std::vector<standin::Row> Rows;
    std::optional<SqlError> FirstError;
    void Columns(const std::vector<ColumnMeta>&) override { Rows.clear(); }
    void Row(sqlite3_stmt* xStmt, const std::vector<ColumnMeta>& xColumns) override {
        standin::Row row;
        for (size_t i = 0; i < xColumns.size(); ++i) {
            int c = static_cast<int>(i);
            if (sqlite3_column_type(xStmt, c) == SQLITE_NULL) {
                row.emplace_back(std::nullopt);
            } else if (xColumns[i].Type.Id == TypeId::Decimal) {
                row.emplace_back(DecimalText(ScaledDecimal(xStmt, c, xColumns[i].Type.Scale), xColumns[i].Type.Scale));
            } else if (xColumns[i].Type.IsBinary()) {
                auto p = static_cast<const char*>(sqlite3_column_blob(xStmt, c));
                row.emplace_back(std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(xStmt, c))));
            } else {
                auto p = reinterpret_cast<const char*>(sqlite3_column_text(xStmt, c));
                row.emplace_back(std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(xStmt, c))));
            }
        }
        Rows.push_back(std::move(row));
    }
    void Done(uint16_t, bool, int64_t, bool) override {}
    void Error(const SqlError& xError) override {
        if (!FirstError) FirstError = xError;
    }
};

std::string Describe(const SqlError& xError) {
    return "Msg " + std::to_string(xError.Number) + ", Level " + std::to_string(xError.Class) + ", State " +
           std::to_string(xError.State) + ", Line " + std::to_string(xError.Line) + ": " + xError.what();
}

// Private database directories still in use; whatever a server left behind (one that is never
// destroyed, as a test's static may be) goes when the process ends.
class TempDirectories {
public:
    static TempDirectories& Get() {
        static TempDirectories sAll;
        return sAll;
    }
    void Add(const std::string& xPath) {
        std::lock_guard lock(FMutex);
        FPaths.insert(xPath);
    }
    void Remove(const std::string& xPath) {
        std::error_code ec;
        fs::remove_all(xPath, ec);
        std::lock_guard lock(FMutex);
        FPaths.erase(xPath);
    }
    ~TempDirectories() {
        std::error_code ec;
        for (const auto& p : FPaths) fs::remove_all(p, ec);
    }

private:
    std::mutex FMutex;
    std::set<std::string> FPaths;
};

std::string MakeTempDirectory() {
    for (const char* base : std::initializer_list<const char*>{"/dev/shm", std::getenv("TMPDIR"), "/tmp"}) {
        if (!base) continue;
        std::string pattern = std::string(base) + "/velstandin-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (::mkdtemp(buf.data())) {
            TempDirectories::Get().Add(buf.data());
            return buf.data();
        }
    }
    throw std::runtime_error("cannot make a temporary directory for the databases");
}

}  // namespace

Server::Server(Options xOptions) : FImpl(std::make_unique<TImpl>()) {
    FImpl->Opt = std::move(xOptions);
    FImpl->Users = FImpl->Opt.Users;
    if (FImpl->Opt.DataDir.empty()) {
        // "In memory": SQLite files on a RAM disk where there is one, removed again at the end.
        FImpl->Directory = MakeTempDirectory();
        FImpl->OwnDirectory = true;
    } else {
        FImpl->Directory = FImpl->Opt.DataDir;
    }
    FImpl->Catalog = std::make_unique<engine::Catalog>(FImpl->Directory);
}

Server::~Server() {
    Stop();
    if (FImpl->LogFile) std::fclose(FImpl->LogFile);
    FImpl->Catalog.reset();
    if (FImpl->OwnDirectory) TempDirectories::Get().Remove(FImpl->Directory);
}

void Server::Start() {
    if (FImpl->ListenFd >= 0) return;
    if (!FImpl->Opt.StatementLog.empty() && !FImpl->LogFile) {
        FImpl->LogFile = std::fopen(FImpl->Opt.StatementLog.c_str(), "a");
        if (!FImpl->LogFile) throw std::runtime_error("cannot open statement log " + FImpl->Opt.StatementLog);
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(FImpl->Opt.Port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || ::listen(fd, 64) < 0) {
        std::string err = std::strerror(errno);
        ::close(fd);
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(FImpl->Opt.Port) + ": " + err);
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    FImpl->BoundPort = ntohs(addr.sin_port);
    FImpl->ListenFd = fd;
    FImpl->Stopping = false;
    FImpl->Catalog->Stopping = false;
    FImpl->Acceptor = std::thread([impl = FImpl.get()] { impl->AcceptLoop(); });
}

void Server::Stop() {
    if (FImpl->ListenFd < 0) return;
    FImpl->Stopping = true;
    FImpl->Catalog->Stopping = true;  // sessions waiting for a lock give up
    ::shutdown(FImpl->ListenFd, SHUT_RDWR);
    if (FImpl->Acceptor.joinable()) FImpl->Acceptor.join();
    ::close(FImpl->ListenFd);
    FImpl->ListenFd = -1;
    std::list<TImpl::Client> clients;
    {
        std::lock_guard lock(FImpl->Mutex);
        clients.swap(FImpl->Clients);
    }
    for (auto& c : clients) c.C->Shutdown();
    for (auto& c : clients) c.T.join();
}

uint16_t Server::Port() const { return FImpl->BoundPort; }

void Server::AddUser(const std::string& xName, const std::string& xPassword) {
    std::lock_guard lock(FImpl->Mutex);
    FImpl->Users.emplace_back(xName, xPassword);
}

void Server::CreateDatabase(const std::string& xName) { FImpl->Catalog->Create(xName); }

void Server::Seed(const std::string& xDatabase, const std::string& xScript) {
    CreateDatabase(xDatabase);
    engine::Session session(*FImpl->Catalog, 0, "sa");
    session.Use(xDatabase);
    // Batches are separated by lines holding only GO, as the command-line tools do it.
    std::vector<std::string> batches(1);
    std::vector<int> firstLines{1};
    size_t pos = 0;
    int line = 1;
    while (pos <= xScript.size()) {
        size_t end = xScript.find('\n', pos);
        if (end == std::string::npos) end = xScript.size();
        std::string text = xScript.substr(pos, end - pos);
        std::string trimmed = text;
        while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back()))) trimmed.pop_back();
        while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.front()))) trimmed.erase(0, 1);
        if (EqualsNoCase(trimmed, "GO")) {
            batches.emplace_back();
            firstLines.push_back(line + 1);
        } else {
            batches.back() += text + "\n";
        }
        pos = end + 1;
        ++line;
    }
    for (size_t i = 0; i < batches.size(); ++i) {
        CollectSink sink;
        session.Execute(batches[i], {}, sink);
        if (sink.FirstError) {
            SqlError e = *sink.FirstError;
            e.Line += firstLines[i] - 1;
            throw std::runtime_error(Describe(e));
        }
    }
}

std::vector<Row> Server::Query(const std::string& xDatabase, const std::string& xSql) {
    engine::Session session(*FImpl->Catalog, 0, "sa");
    if (!session.Use(xDatabase)) throw std::runtime_error("no database '" + xDatabase + "'");
    CollectSink sink;
    session.Execute(xSql, {}, sink);
    if (sink.FirstError) throw std::runtime_error(Describe(*sink.FirstError));
    return sink.Rows;
}

std::vector<Request> Server::Requests() const {
    std::lock_guard lock(FImpl->Mutex);
    return FImpl->Log;
}

void Server::ClearRequests() {
    std::lock_guard lock(FImpl->Mutex);
    FImpl->Log.clear();
}

void Server::AddFault(const Fault& xFault) {
    std::lock_guard lock(FImpl->Mutex);
    FImpl->Faults.push_back({xFault, 0, xFault.Times});
}

void Server::ClearFaults() {
    std::lock_guard lock(FImpl->Mutex);
    FImpl->Faults.clear();
}

}  // namespace standin
