// The line-mode layer of the socket chain.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "net/CustomTlsWSocket.h"

namespace kapo {

// Posted to the socket's own target after LineMode changed while bytes were held, so that the
// held bytes are offered again under the new mode.
constexpr UINT WM_LINE_RESCAN = WM_USER + 20;

// Line-mode layer of the chain; with line mode off it hands everything through, bytes it still
// holds first. With line mode on, OnDataAvailable fires once per complete line and Receive
// returns that line, terminator included.
class TCustomLineWSocket : public TCustomTlsWSocket {
public:
    explicit TCustomLineWSocket(TComponent* AOwner = nullptr);
    ~TCustomLineWSocket() override;

    bool LineMode() const { return FLineMode; }
    virtual void SetLineMode(bool Value);
    // Any length, compared byte for byte; empty passes data through as with line mode off.
    const std::string& LineEnd() const { return FLineEnd; }
    void SetLineEnd(const std::string& Value) { FLineEnd = Value; }
    bool LineEcho() const { return FLineEcho; }
    void SetLineEcho(bool Value) { FLineEcho = Value; }
    bool LineEdit() const { return FLineEdit; }
    void SetLineEdit(bool Value) { FLineEdit = Value; }

    // In line mode, the length of the line on offer (0 when none).
    int RcvdCount() override;

    // Never fired: lines have no length limit, the buffer grows to hold the longest.
    TNotifyEvent OnLineTooLong;

protected:
    void HandleWindowMessage(TMessage& Msg) override;
    bool FireDataAvailable(std::uint16_t Error) override;
    void FireSessionClosed(std::uint16_t Error) override;
    int DoRecv(void* Buffer, int Len, int Flags) override;
    // Backspace and tab editing of the N bytes just received behind the held ones.
    virtual void EditLine(std::size_t& N);

    std::size_t Held() const { return FHeld; }

private:
    // Offers the complete lines among the held bytes, searching from SearchFrom (relative to
    // the first held byte). Stops when no complete line is left, line mode ends, or a handler
    // leaves a line untouched (it is offered again with the next bytes).
    void DeliverLines(std::size_t SearchFrom);
    // Offers the held bytes to the handler with line mode off, until they are taken.
    void DeliverHeld();
    void Rescan();
    void Reserve(std::size_t Needed);
    void Consume(std::size_t N);
    void FreeBuffer();
    char* HeldData() { return FBuffer.get() + FStart; }

    bool FLineMode = false;
    std::string FLineEnd = "\r\n";
    bool FLineEcho = false;
    bool FLineEdit = false;
    // The held bytes are FBuffer[FStart, FStart + FHeld), followed by a zero byte. Taking a line
    // only moves FStart, so a packet of many short lines costs no moves; the bytes are moved to
    // the front once per arrival, and the capacity doubles, so a long line costs linear time.
    std::unique_ptr<char[]> FBuffer;
    std::size_t FCapacity = 0;
    std::size_t FStart = 0;
    std::size_t FHeld = 0;
    std::size_t FLineLength = 0;  // the line on offer, terminator included; 0 when none
};

}  // namespace kapo
