// Line mode: received bytes collected in a buffer of the layer's own and offered one complete
// line at a time, with optional echo and backspace/tab editing.
#include "net/CustomLineWSocket.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>

namespace kapo {

namespace {

int ClampToInt(std::size_t n) { return n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n); }

}  // namespace

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TCustomTlsWSocket(AOwner) {}

TCustomLineWSocket::~TCustomLineWSocket() = default;

void TCustomLineWSocket::SetLineMode(bool Value)
{
    if (Value == FLineMode) return;
    FLineMode = Value;
    // An untaken rest of a line is plain held data now; it is searched again if the mode
    // comes back on.
    if (!Value) FLineLength = 0;
    if (FHeld > 0) PostMessage(FWindowHandle, WM_LINE_RESCAN, 0, 0);
}

int TCustomLineWSocket::RcvdCount()
{
    if (FLineMode && !FLineEnd.empty()) return ClampToInt(FLineLength);
    // Held bytes are what Receive hands out next, before anything the system has.
    if (FHeld > 0) return ClampToInt(FHeld);
    return TCustomTlsWSocket::RcvdCount();
}

// ---- the buffer --------------------------------------------------------------------------

void TCustomLineWSocket::Reserve(std::size_t Needed)
{
    if (FBuffer && FStart + Needed <= FCapacity) return;
    // Doubling keeps a line that arrives in many pieces linear in its length.
    std::size_t cap = std::max({Needed, FCapacity * 2, std::size_t(256)});
    auto grown = std::make_unique_for_overwrite<char[]>(cap);
    // Everything behind the first held byte moves along: EditLine works on bytes past Held.
    if (FBuffer) std::memcpy(grown.get(), HeldData(), FCapacity - FStart);
    else grown[0] = '\0';
    FBuffer = std::move(grown);
    FCapacity = cap;
    FStart = 0;
}

void TCustomLineWSocket::Consume(std::size_t N)
{
    FStart += N;
    FHeld -= N;
    if (FHeld == 0) FStart = 0;
    FBuffer[FStart + FHeld] = '\0';
}

void TCustomLineWSocket::FreeBuffer()
{
    FBuffer.reset();
    FCapacity = FStart = FHeld = FLineLength = 0;
}

// ---- arrival -----------------------------------------------------------------------------

bool TCustomLineWSocket::FireDataAvailable(std::uint16_t Error)
{
    if (!FLineMode || FLineEnd.empty()) return TCustomTlsWSocket::FireDataAvailable(Error);
    int count = TCustomTlsWSocket::RcvdCount();
    if (count <= 0) return true;
    if (FBuffer && FStart > 0) {
        std::memmove(FBuffer.get(), HeldData(), FHeld + 1);
        FStart = 0;
    }
    Reserve(FHeld + static_cast<std::size_t>(count) + 1);
    // Straight from the system: a line still on offer must not answer this read.
    int got = TCustomTlsWSocket::DoRecv(HeldData() + FHeld, count, 0);
    if (got <= 0) {
        if (got < 0) FLastError = WSocket_WSAGetLastError();
        return true;
    }
    FReadCount += got;
    std::size_t n = static_cast<std::size_t>(got);
    HeldData()[FHeld + n] = '\0';
    TLiveness guard = Liveness();
    if (FLineEdit) EditLine(n);
    else if (FLineEcho) Send(HeldData() + FHeld, got);
    // An echo that found the connection broken has closed it, and the buffer with it.
    if (!guard || !FBuffer) return true;
    // A terminator split between two arrivals is found from just before the new bytes.
    std::size_t searchFrom = FHeld > FLineEnd.size() ? FHeld - FLineEnd.size() : 0;
    FHeld += n;
    HeldData()[FHeld] = '\0';
    DeliverLines(searchFrom);
    return true;
}

void TCustomLineWSocket::DeliverLines(std::size_t SearchFrom)
{
    TLiveness guard = Liveness();
    while (FLineMode && !FLineEnd.empty()) {
        if (FLineLength == 0) {
            if (!FBuffer || FHeld < FLineEnd.size()) return;
            std::size_t i = std::string_view(HeldData(), FHeld).find(FLineEnd, SearchFrom);
            if (i == std::string_view::npos) return;
            FLineLength = i + FLineEnd.size();
        }
        while (FLineMode && FLineLength > 0) {
            const std::size_t before = FLineLength;
            if (!TCustomTlsWSocket::FireDataAvailable(0)) {
                if (!guard) return;
                // Nobody listens: the line is dropped.
                if (FLineLength > 0) {
                    Consume(FLineLength);
                    FLineLength = 0;
                }
                break;
            }
            if (!guard) return;
            // A handler that leaves the line where it is would be called for ever: the line
            // stays on offer and is offered again with the next bytes or the next rescan.
            if (FLineMode && FLineLength == before) return;
        }
        SearchFrom = 0;
    }
}

void TCustomLineWSocket::DeliverHeld()
{
    TLiveness guard = Liveness();
    while ((!FLineMode || FLineEnd.empty()) && FHeld > 0) {
        const std::size_t before = FHeld;
        if (!TCustomTlsWSocket::FireDataAvailable(0)) return;
        if (!guard || FHeld == before) return;
    }
}

void TCustomLineWSocket::Rescan()
{
    if (!FLineMode || FLineEnd.empty()) DeliverHeld();
    else DeliverLines(0);
}

// ---- taking the data ---------------------------------------------------------------------

int TCustomLineWSocket::DoRecv(void* Buffer, int Len, int Flags)
{
    const bool active = FLineMode && !FLineEnd.empty();
    if (active && FLineLength > 0) {
        std::size_t n = std::min(FLineLength, static_cast<std::size_t>(std::max(Len, 0)));
        if (n > 0) std::memcpy(Buffer, HeldData(), n);
        FLineLength -= n;
        if (n > 0) Consume(n);
        return static_cast<int>(n);
    }
    if (active || FHeld == 0) return TCustomTlsWSocket::DoRecv(Buffer, Len, Flags);
    std::size_t n = std::min(FHeld, static_cast<std::size_t>(std::max(Len, 0)));
    if (n > 0) {
        std::memcpy(Buffer, HeldData(), n);
        Consume(n);
    }
    return static_cast<int>(n);
}

// ---- messages and closing ----------------------------------------------------------------

void TCustomLineWSocket::HandleWindowMessage(TMessage& Msg)
{
    if (Msg.Msg != WM_LINE_RESCAN) {
        TCustomTlsWSocket::HandleWindowMessage(Msg);
        return;
    }
    TLiveness guard = Liveness();
    try {
        Rescan();
    } catch (Exception& E) {
        if (guard) BackgroundFault(E);
    }
}

void TCustomLineWSocket::FireSessionClosed(std::uint16_t Error)
{
    TLiveness guard = Liveness();
    if (FBuffer) {
        if (FLineMode && !FLineEnd.empty() && FHeld > 0) {
            // What is left is the last line, even without its terminator.
            FLineLength = FHeld;
            while (FLineMode && !FLineEnd.empty() && FLineLength > 0) {
                const std::size_t before = FLineLength;
                if (!TCustomTlsWSocket::FireDataAvailable(0)) break;
                if (!guard) return;
                if (FLineLength == before) break;
            }
        } else if (FHeld > 0) {
            // Line mode was switched off with bytes held and the rescan has not run yet: they
            // are handed out now rather than freed unseen.
            DeliverHeld();
        }
        if (!guard) return;
        FreeBuffer();
    }
    TCustomTlsWSocket::FireSessionClosed(Error);
}

// ---- editing -----------------------------------------------------------------------------

void TCustomLineWSocket::EditLine(std::size_t& N)
{
    const std::size_t held = FHeld;
    // A line still on offer is not the application's to edit away.
    const std::size_t floor = FLineLength;
    const char* in = HeldData() + held;
    std::string edited;  // the output from the lowest position reached onward
    std::size_t erased = 0;  // held bytes erased by backspaces
    bool changed = false;
    std::string echo;
    auto out = [&] { return held - erased + edited.size(); };
    for (std::size_t k = 0; k < N; ++k) {
        const char c = in[k];
        if (c == '\b') {
            changed = true;
            if (FLineEcho && out() != 0) echo += "\b \b";
            if (!edited.empty()) edited.pop_back();
            else if (out() > floor) ++erased;
        } else if (c == '\t') {
            changed = true;
            do {
                edited += ' ';
                if (FLineEcho) echo += ' ';
            } while (out() % 8 != 0);
        } else {
            if (FLineEcho) echo += c;
            edited += c;
        }
    }
    if (!echo.empty()) {
        TLiveness guard = Liveness();
        SendText(echo);
        if (!guard) return;
        if (!FBuffer) {
            N = 0;
            return;
        }
    }
    if (!changed) return;
    const std::size_t low = held - erased;
    Reserve(low + edited.size() + 1);
    std::memcpy(HeldData() + low, edited.data(), edited.size());
    FHeld = low;
    N = edited.size();
    HeldData()[low + N] = '\0';
}

}  // namespace kapo
