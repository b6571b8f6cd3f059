#include "platform/dynamic_d2xx.h"

#include <dlfcn.h>

namespace platform {

using namespace usb;

namespace {

// The library's C types on Linux: its DWORD and ULONG are both 32 bits,
// its handle a pointer.
using DWORD = unsigned int;
using ULONG = unsigned int;
using UCHAR = unsigned char;
using Handle = void*;
using Status = ULONG;

static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
static_assert(sizeof(FT_HANDLE) >= sizeof(Handle));

Handle toLib(FT_HANDLE h) { return reinterpret_cast<Handle>(h); }
FT_HANDLE fromLib(Handle h) { return reinterpret_cast<FT_HANDLE>(h); }

}  // namespace

struct DynamicD2xx::Functions {
    Status (*ListDevices)(void*, void*, DWORD);
    Status (*Open)(int, Handle*);
    Status (*Close)(Handle);
    Status (*Read)(Handle, void*, DWORD, DWORD*);
    Status (*Write)(Handle, void*, DWORD, DWORD*);
    Status (*ResetDevice)(Handle);
    Status (*Purge)(Handle, ULONG);
    Status (*SetTimeouts)(Handle, ULONG, ULONG);
    Status (*GetQueueStatus)(Handle, DWORD*);
    Status (*StopInTask)(Handle);
    Status (*RestartInTask)(Handle);
    Status (*CreateDeviceInfoList)(DWORD*);
    Status (*GetDeviceInfoDetail)(DWORD, DWORD*, DWORD*, DWORD*, DWORD*, void*, void*, Handle*);
    Status (*SetLatencyTimer)(Handle, UCHAR);
    Status (*SetBitMode)(Handle, UCHAR, UCHAR);
    Status (*SetUSBParameters)(Handle, ULONG, ULONG);
};

std::unique_ptr<DynamicD2xx> DynamicD2xx::load(const std::string& path, std::string* error) {
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        const char* why = dlerror();
        if (error) *error = path + " not found: " + (why ? why : "unknown reason");
        return nullptr;
    }
    auto f = std::make_unique<Functions>();
    bool ok = true;
    auto bind = [&](auto& slot, const char* name) {
        if (!ok) return;
        dlerror();
        void* sym = dlsym(lib, name);
        if (!sym) {
            const char* why = dlerror();
            if (error) *error = path + " lacks " + name + ": " + (why ? why : "symbol is null");
            ok = false;
            return;
        }
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(sym);
    };
    bind(f->ListDevices, "FT_ListDevices");
    bind(f->Open, "FT_Open");
    bind(f->Close, "FT_Close");
    bind(f->Read, "FT_Read");
    bind(f->Write, "FT_Write");
    bind(f->ResetDevice, "FT_ResetDevice");
    bind(f->Purge, "FT_Purge");
    bind(f->SetTimeouts, "FT_SetTimeouts");
    bind(f->GetQueueStatus, "FT_GetQueueStatus");
    bind(f->StopInTask, "FT_StopInTask");
    bind(f->RestartInTask, "FT_RestartInTask");
    bind(f->CreateDeviceInfoList, "FT_CreateDeviceInfoList");
    bind(f->GetDeviceInfoDetail, "FT_GetDeviceInfoDetail");
    bind(f->SetLatencyTimer, "FT_SetLatencyTimer");
    bind(f->SetBitMode, "FT_SetBitMode");
    bind(f->SetUSBParameters, "FT_SetUSBParameters");
    if (!ok) {
        dlclose(lib);
        return nullptr;
    }
    return std::unique_ptr<DynamicD2xx>(new DynamicD2xx(lib, std::move(f)));
}

DynamicD2xx::DynamicD2xx(void* library, std::unique_ptr<Functions> functions)
    : library_(library), f_(std::move(functions)) {}

DynamicD2xx::~DynamicD2xx() { dlclose(library_); }

FT_STATUS DynamicD2xx::FT_ListDevices(void* arg1, void* arg2, std::uint32_t flags) {
    return f_->ListDevices(arg1, arg2, flags);
}

FT_STATUS DynamicD2xx::FT_Open(int deviceNumber, FT_HANDLE* handle) {
    if (!handle) return FT_INVALID_PARAMETER;
    Handle h = nullptr;
    const FT_STATUS s = f_->Open(deviceNumber, &h);
    if (s == FT_OK) *handle = fromLib(h);
    return s;
}

FT_STATUS DynamicD2xx::FT_Close(FT_HANDLE handle) { return f_->Close(toLib(handle)); }

FT_STATUS DynamicD2xx::FT_Read(FT_HANDLE handle, void* buffer, std::uint32_t bytesToRead,
                               std::uint32_t* bytesReturned) {
    return f_->Read(toLib(handle), buffer, bytesToRead, bytesReturned);
}

FT_STATUS DynamicD2xx::FT_Write(FT_HANDLE handle, const void* buffer, std::uint32_t bytesToWrite,
                                std::uint32_t* bytesWritten) {
    // The C API takes a non-const pointer but only reads from it.
    return f_->Write(toLib(handle), const_cast<void*>(buffer), bytesToWrite, bytesWritten);
}

FT_STATUS DynamicD2xx::FT_ResetDevice(FT_HANDLE handle) { return f_->ResetDevice(toLib(handle)); }

FT_STATUS DynamicD2xx::FT_Purge(FT_HANDLE handle, std::uint32_t mask) {
    return f_->Purge(toLib(handle), mask);
}

FT_STATUS DynamicD2xx::FT_SetTimeouts(FT_HANDLE handle, std::uint32_t readTimeoutMs,
                                      std::uint32_t writeTimeoutMs) {
    return f_->SetTimeouts(toLib(handle), readTimeoutMs, writeTimeoutMs);
}

FT_STATUS DynamicD2xx::FT_GetQueueStatus(FT_HANDLE handle, std::uint32_t* rxBytes) {
    return f_->GetQueueStatus(toLib(handle), rxBytes);
}

FT_STATUS DynamicD2xx::FT_StopInTask(FT_HANDLE handle) { return f_->StopInTask(toLib(handle)); }
FT_STATUS DynamicD2xx::FT_RestartInTask(FT_HANDLE handle) { return f_->RestartInTask(toLib(handle)); }

FT_STATUS DynamicD2xx::FT_CreateDeviceInfoList(std::uint32_t* numDevices) {
    return f_->CreateDeviceInfoList(numDevices);
}

FT_STATUS DynamicD2xx::FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags,
                                              std::uint32_t* type, std::uint32_t* id,
                                              std::uint32_t* locId, void* serialNumber,
                                              void* description, FT_HANDLE* handle) {
    Handle h = nullptr;
    const FT_STATUS s = f_->GetDeviceInfoDetail(index, flags, type, id, locId, serialNumber,
                                                description, handle ? &h : nullptr);
    if (handle && s == FT_OK) *handle = fromLib(h);
    return s;
}

FT_STATUS DynamicD2xx::FT_SetLatencyTimer(FT_HANDLE handle, std::uint8_t latencyMs) {
    return f_->SetLatencyTimer(toLib(handle), latencyMs);
}

FT_STATUS DynamicD2xx::FT_SetBitMode(FT_HANDLE handle, std::uint8_t mask, std::uint8_t mode) {
    return f_->SetBitMode(toLib(handle), mask, mode);
}

FT_STATUS DynamicD2xx::FT_SetUSBParameters(FT_HANDLE handle, std::uint32_t inTransferSize,
                                           std::uint32_t outTransferSize) {
    return f_->SetUSBParameters(toLib(handle), inTransferSize, outTransferSize);
}

}  // namespace platform
