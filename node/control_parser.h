// CControlParser: tells the client's control messages from its upload blocks
// on the one TCP connection. It does no I/O: the session feeds it each
// receive with the time, and asks it when it must look again.
//
// The connection has no framing. Outside an upload every byte is control:
// 0x6C and two bytes of seconds (little-endian), a request 1..6, or the end
// 0x00; a receive holding anything else is stray data, none of it a message.
// During an upload (after the node has commanded a TCP upload) the client
// writes one 1000-byte block again and again, and sends its next message
// only once its sender has stopped, at a block boundary; then it waits for
// the answer. So:
//  - the first block is learned, and later bytes are checked against it;
//  - at each boundary up to three bytes are held back: a byte that differs
//    from the block's byte at that place cannot be upload data, and held
//    bytes that silence follows are a message, never a stalled block;
//  - requests the client repeated before it saw the command come ahead of
//    the first block, as a small receive of their own or glued to the
//    block's front; the bytes after the first block show which (the stream
//    is periodic from the first real block byte on);
//  - a sender that stops inside a block, or data that does not repeat, is
//    ended by a few message bytes at the end of a receive that silence follows.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

class CControlParser {
public:
    static constexpr int BLOCK_SIZE = 1000;
    // Longest message a held run may hold (the session start).
    static constexpr int MAX_RUN = 3;
    // Most message bytes that can follow an upload in one receive.
    static constexpr size_t MAX_MESSAGE_BYTES = 8;

    enum class EKind { SessionStart, TestRequest, SessionEnd, Unknown };
    struct SEvent {
        EKind eKind;
        int nValue; // seconds for SessionStart, the test for TestRequest, bytes ignored for Unknown
        bool operator==(const SEvent&) const = default;
    };
    // Where parsed messages go, in the order they came.
    class IEventSink {
    public:
        virtual void OnEvent(const SEvent& event) = 0;

    protected:
        ~IEventSink() = default;
    };

    explicit CControlParser(int64_t nSilenceMs = 300) : m_nSilenceMs(nSilenceMs) {}

    // Everything received in one receive call, at time nNowMs (a steady
    // clock in milliseconds). Events go to sink.
    void Feed(const uint8_t* pData, size_t nLength, int64_t nNowMs, IEventSink& sink);
    // Lets held bytes become a message once the line has been silent long
    // enough. Call it at NextDeadline (or any time).
    void Tick(int64_t nNowMs, IEventSink& sink);
    // The same, appending every event to a list.
    void Feed(const uint8_t* pData, size_t nLength, int64_t nNowMs, std::vector<SEvent>& events);
    void Tick(int64_t nNowMs, std::vector<SEvent>& events);
    // The time at which Tick may decide something, or -1 when nothing waits.
    int64_t NextDeadline() const;

    // The node has sent command nTest; a TCP upload starts on this
    // connection, every other test ends one.
    void OnCommand(int nTest);

    bool InUpload() const { return m_eMode != EMode::Control; }
    // Upload bytes absorbed since the last command.
    uint64_t GetUploadBytes() const { return m_nUploadBytes; }
    // True once the upload stopped matching its first block (a client that
    // does not repeat its block); messages are then found by silence alone.
    bool IsOutOfStep() const { return m_eMode == EMode::OutOfStep; }

private:
    enum class EMode {
        Control,   // no upload expected: every byte is a message
        LeadIn,    // command sent, no block byte seen yet
        Learning,  // taking in the first block
        FirstEdge, // first block learned; the next few bytes fix the alignment
        Stream,    // aligned: checking every byte against the block
        OutOfStep, // data did not repeat: silence and small receives decide
    };

    void FeedUpload(const uint8_t* pData, size_t nLength, int64_t nNowMs, IEventSink& sink);
    // The byte at pRest differs from the block where a block should start.
    void Mismatch(const uint8_t* pRest, size_t nRest, IEventSink& sink);
    // False when no alignment explains the bytes after the first block.
    bool SettleFirstEdge();
    // Bytes known to be messages.
    void ControlBytes(const uint8_t* pData, size_t nLength, IEventSink& sink);
    void EndUpload() { m_eMode = EMode::Control; }
    // The upload is over; these bytes after it are messages.
    void UploadEnded(const uint8_t* pData, size_t nLength, IEventSink& sink);
    // FirstEdge: how many glued repeats to skip before the held message, or -1.
    int FirstEdgeTail() const;

public:
    // True when the bytes read as whole messages (a session start may be cut short).
    static bool IsMessageRun(const uint8_t* pData, size_t nLength);

private:
    const int64_t m_nSilenceMs;
    EMode m_eMode = EMode::Control;
    int m_nCommand = 0;
    uint64_t m_nUploadBytes = 0;
    int64_t m_nLastByteMs = 0;

    // Session start split over receives: bytes of it still missing.
    int m_nStartMissing = 0;
    uint16_t m_nStartSeconds = 0;

    std::array<uint8_t, BLOCK_SIZE> m_block{};
    int m_nLearned = 0; // Learning: bytes of the first block taken in
    int m_nPos = 0;     // Stream: place in the current block
    // Bytes after a boundary that are not yet upload data or message.
    std::array<uint8_t, MAX_RUN + 1> m_held{};
    int m_nHeld = 0;
    bool m_bHolding = false;
    // Learning, OutOfStep: the last receive's message bytes, when it ended
    // with a few, not yet counted as upload.
    std::array<uint8_t, MAX_MESSAGE_BYTES> m_lastSmall{};
    int m_nLastSmall = 0;
};
