#pragma once
// LZMA behind the push-style compressor interface. The LZMA encoder pulls its input and pushes
// its output through stream callbacks, so it runs on a worker thread that hands control back to
// the caller of Compress whenever the caller's input is used up or its output area is full. The
// caller and the worker never run at the same time: each hands over through one auto-reset event
// and then waits for the other.
//
// The compressed stream is the encoder's 5-byte property header followed by the LZMA data,
// closed by the encoder's end mark.
#include <atomic>
#include <thread>

#include "devices/Compressor.h"
#include "platform/Sync.h"

struct LzmaCallbacks;

class CLZMACompressor : public ICompressor {
public:
    CLZMACompressor();
    ~CLZMACompressor() override;
    CLZMACompressor(const CLZMACompressor&) = delete;
    CLZMACompressor& operator=(const CLZMACompressor&) = delete;

    // The parameter is the dictionary size; the level is not used.
    i32 Init(i32 level, u32 parameter) override;
    i32 End() override;
    // 0 while the stream goes on, 1 once it is complete, negative on error.
    i32 Compress(bool finish) override;
    void SetInput(const void* data, u32 length) override;
    void SetOutput(void* buffer, u32 capacity) override;
    u8* GetNextOut() override;
    u32 GetAvailIn() override;
    u32 GetAvailOut() override;
    const char* GetName() override { return "lzma"; }
    const char* GetErrorText(i32 code) override;

    struct InStream;
    struct OutStream;

private:
    friend struct LzmaCallbacks;

    void Worker();
    // Worker side: give the turn to the caller and wait for it back; false when the wait failed.
    bool HandToCaller();
    static i32 CodeFromResult(int sres);

    InStream* m_inStream;
    OutStream* m_outStream;
    void* m_encoder = nullptr;  // the encoder's handle
    std::thread m_worker;
    Event m_ready{false, false};  // set by the worker when it needs the caller
    Event m_go{false, false};     // set by the caller when the worker may continue
    const u8* m_in = nullptr;
    u32 m_inCount = 0;
    u8* m_out = nullptr;
    u32 m_outCount = 0;
    std::atomic<i32> m_result{0};
    std::atomic<bool> m_finishing{false};
    std::atomic<bool> m_ended{true};  // true: no worker running
};

class clzmadecompressor : public IDecompressor {
public:
    // Largest dictionary the decoder allocates, whatever a (possibly damaged) stream states.
    static constexpr u32 kMaxDictionary = 1u << 26;

    clzmadecompressor();
    ~clzmadecompressor() override;
    clzmadecompressor(const clzmadecompressor&) = delete;
    clzmadecompressor& operator=(const clzmadecompressor&) = delete;

    i32 Init() override;
    void SetInput(const void* data, u32 length) override;
    void SetOutput(void* buffer, u32 capacity) override;
    u32 GetAvailOut() override;
    // 0 while more input or output is needed, 1 at the end mark, negative on damaged data.
    i32 Decompress() override;
    i32 End() override;

    struct State;

private:
    State* m_state;
    const u8* m_in = nullptr;
    u32 m_inCount = 0;
    u8* m_out = nullptr;
    u32 m_outCount = 0;
};
