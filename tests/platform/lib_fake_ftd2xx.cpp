// A stand-in for the vendor's D2XX shared library with its C ABI: 32-bit
// statuses and counts, pointer handles. It answers from a small state that
// the tests reach through fake_ftd2xx_state() and records each call.
#include <cstdint>
#include <cstring>

namespace {

struct State {
    char lastCall[32] = {};
    unsigned args[4] = {};
    unsigned char written[64] = {};
    unsigned writtenCount = 0;
};

State state;

void record(const char* call, unsigned a = 0, unsigned b = 0, unsigned c = 0, unsigned d = 0) {
    std::strncpy(state.lastCall, call, sizeof state.lastCall - 1);
    state.args[0] = a;
    state.args[1] = b;
    state.args[2] = c;
    state.args[3] = d;
}

void* const kHandle = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x7f00c0de1234));
unsigned id(void* h) { return h == kHandle ? 1u : 0u; }

}  // namespace

extern "C" {

State* fake_ftd2xx_state() { return &state; }

unsigned FT_ListDevices(void* arg1, void* arg2, unsigned flags) {
    record("FT_ListDevices", flags);
    if (flags & 0x80000000u) {
        *static_cast<unsigned*>(arg1) = 2;
        return 0;
    }
    std::strcpy(static_cast<char*>(arg2), reinterpret_cast<std::uintptr_t>(arg1) == 1 ? "FAKE1B" : "FAKE1A");
    return 0;
}

unsigned FT_Open(int n, void** handle) {
    record("FT_Open", static_cast<unsigned>(n));
    if (n > 1) return 2;
    *handle = kHandle;
    return 0;
}

unsigned FT_Close(void* h) { return record("FT_Close", id(h)), 0; }

unsigned FT_Read(void* h, void* buffer, unsigned count, unsigned* got) {
    record("FT_Read", id(h), count);
    for (unsigned i = 0; i < count; ++i) static_cast<unsigned char*>(buffer)[i] = static_cast<unsigned char>(i + 1);
    *got = count;
    return 0;
}

unsigned FT_Write(void* h, void* buffer, unsigned count, unsigned* written) {
    record("FT_Write", id(h), count);
    state.writtenCount = count < sizeof state.written ? count : sizeof state.written;
    std::memcpy(state.written, buffer, state.writtenCount);
    *written = count;
    return 0;
}

unsigned FT_ResetDevice(void* h) { return record("FT_ResetDevice", id(h)), 0; }
unsigned FT_Purge(void* h, unsigned mask) { return record("FT_Purge", id(h), mask), 0; }
unsigned FT_SetTimeouts(void* h, unsigned r, unsigned w) { return record("FT_SetTimeouts", id(h), r, w), 0; }

unsigned FT_GetQueueStatus(void* h, unsigned* rx) {
    record("FT_GetQueueStatus", id(h));
    *rx = 1316;
    return h == kHandle ? 0 : 4;
}

unsigned FT_StopInTask(void* h) { return record("FT_StopInTask", id(h)), 0; }
#ifndef FAKE_FTD2XX_WITHOUT_RESTART
unsigned FT_RestartInTask(void* h) { return record("FT_RestartInTask", id(h)), 0; }
#endif

unsigned FT_CreateDeviceInfoList(unsigned* n) {
    record("FT_CreateDeviceInfoList");
    *n = 2;
    return 0;
}

unsigned FT_GetDeviceInfoDetail(unsigned index, unsigned* flags, unsigned* type, unsigned* devId,
                                unsigned* loc, void* serial, void* description, void** handle) {
    record("FT_GetDeviceInfoDetail", index);
    *flags = 3;
    *type = 6;
    *devId = 0x04036010;
    *loc = 0x2111;
    std::strcpy(static_cast<char*>(serial), "FAKE1A");
    std::strcpy(static_cast<char*>(description), "Dual RS232-HS A");
    *handle = kHandle;
    return 0;
}

unsigned FT_SetLatencyTimer(void* h, unsigned char ms) { return record("FT_SetLatencyTimer", id(h), ms), 0; }
unsigned FT_SetBitMode(void* h, unsigned char mask, unsigned char mode) {
    return record("FT_SetBitMode", id(h), mask, mode), 0;
}
unsigned FT_SetUSBParameters(void* h, unsigned in, unsigned out) {
    return record("FT_SetUSBParameters", id(h), in, out), 0;
}

}
