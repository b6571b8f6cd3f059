// A D2XX library in front of another: every call goes through unchanged and
// is recorded by name (with its settings, "FT_SetTimeouts 0 1000"), and so
// are the bytes of every FT_Write, so that a test can check the exact
// streams a host sends. It can also hand on only part of a write, as the
// driver does when its write time-out runs out.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "usb/d2xx.h"

namespace testing_support {

class RecordingD2xx : public usb::D2xxLibrary {
public:
    using Bytes = std::vector<std::uint8_t>;

    explicit RecordingD2xx(usb::D2xxLibrary& inner) : inner_(inner) {}

    std::vector<std::string> calls;
    std::vector<Bytes> writes;  // what each FT_Write passed on
    // Bytes the next FT_Writes pass on at most, one entry per write.
    std::deque<std::uint32_t> writeLimits;

    Bytes allWritten() const {
        Bytes all;
        for (const Bytes& w : writes) all.insert(all.end(), w.begin(), w.end());
        return all;
    }
    int count(const std::string& call) const {
        return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
            return c == call || c.rfind(call + " ", 0) == 0;
        }));
    }
    void clear() {
        calls.clear();
        writes.clear();
    }

    usb::FT_STATUS FT_ListDevices(void* a, void* b, std::uint32_t flags) override {
        calls.emplace_back("FT_ListDevices");
        return inner_.FT_ListDevices(a, b, flags);
    }
    usb::FT_STATUS FT_Open(int n, usb::FT_HANDLE* h) override {
        calls.emplace_back("FT_Open");
        return inner_.FT_Open(n, h);
    }
    usb::FT_STATUS FT_Close(usb::FT_HANDLE h) override {
        calls.emplace_back("FT_Close");
        return inner_.FT_Close(h);
    }
    usb::FT_STATUS FT_Read(usb::FT_HANDLE h, void* buffer, std::uint32_t n, std::uint32_t* got) override {
        calls.emplace_back("FT_Read");
        return inner_.FT_Read(h, buffer, n, got);
    }
    usb::FT_STATUS FT_Write(usb::FT_HANDLE h, const void* buffer, std::uint32_t n,
                            std::uint32_t* written) override {
        calls.emplace_back("FT_Write");
        std::uint32_t take = n;
        if (!writeLimits.empty()) {
            take = std::min(take, writeLimits.front());
            writeLimits.pop_front();
        }
        std::uint32_t done = 0;
        const usb::FT_STATUS s = take > 0 ? inner_.FT_Write(h, buffer, take, &done) : usb::FT_OK;
        const auto* src = static_cast<const std::uint8_t*>(buffer);
        if (s == usb::FT_OK) writes.emplace_back(src, src + done);
        if (written) *written = s == usb::FT_OK ? done : 0;
        return s;
    }
    usb::FT_STATUS FT_ResetDevice(usb::FT_HANDLE h) override {
        calls.emplace_back("FT_ResetDevice");
        return inner_.FT_ResetDevice(h);
    }
    usb::FT_STATUS FT_Purge(usb::FT_HANDLE h, std::uint32_t mask) override {
        calls.emplace_back(mask == usb::FT_PURGE_RX ? "FT_Purge RX" : "FT_Purge TX");
        return inner_.FT_Purge(h, mask);
    }
    usb::FT_STATUS FT_SetTimeouts(usb::FT_HANDLE h, std::uint32_t r, std::uint32_t w) override {
        calls.emplace_back("FT_SetTimeouts " + std::to_string(r) + " " + std::to_string(w));
        return inner_.FT_SetTimeouts(h, r, w);
    }
    usb::FT_STATUS FT_GetQueueStatus(usb::FT_HANDLE h, std::uint32_t* rx) override {
        calls.emplace_back("FT_GetQueueStatus");
        return inner_.FT_GetQueueStatus(h, rx);
    }
    usb::FT_STATUS FT_StopInTask(usb::FT_HANDLE h) override {
        calls.emplace_back("FT_StopInTask");
        return inner_.FT_StopInTask(h);
    }
    usb::FT_STATUS FT_RestartInTask(usb::FT_HANDLE h) override {
        calls.emplace_back("FT_RestartInTask");
        return inner_.FT_RestartInTask(h);
    }
    usb::FT_STATUS FT_CreateDeviceInfoList(std::uint32_t* n) override {
        calls.emplace_back("FT_CreateDeviceInfoList");
        return inner_.FT_CreateDeviceInfoList(n);
    }
    usb::FT_STATUS FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags, std::uint32_t* type,
                                          std::uint32_t* id, std::uint32_t* loc, void* serial,
                                          void* description, usb::FT_HANDLE* h) override {
        calls.emplace_back("FT_GetDeviceInfoDetail");
        return inner_.FT_GetDeviceInfoDetail(index, flags, type, id, loc, serial, description, h);
    }
    usb::FT_STATUS FT_SetLatencyTimer(usb::FT_HANDLE h, std::uint8_t ms) override {
        calls.emplace_back("FT_SetLatencyTimer " + std::to_string(ms));
        return inner_.FT_SetLatencyTimer(h, ms);
    }
    usb::FT_STATUS FT_SetBitMode(usb::FT_HANDLE h, std::uint8_t mask, std::uint8_t mode) override {
        calls.emplace_back("FT_SetBitMode " + std::to_string(mask) + " " + std::to_string(mode));
        return inner_.FT_SetBitMode(h, mask, mode);
    }
    usb::FT_STATUS FT_SetUSBParameters(usb::FT_HANDLE h, std::uint32_t in, std::uint32_t out) override {
        calls.emplace_back("FT_SetUSBParameters " + std::to_string(in) + " " + std::to_string(out));
        return inner_.FT_SetUSBParameters(h, in, out);
    }

private:
    usb::D2xxLibrary& inner_;
};

}  // namespace testing_support
