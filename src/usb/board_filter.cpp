#include "usb/board_filter.h"

#include <algorithm>
#include <cstring>

namespace usb {

std::vector<std::string> DeviceSerials(D2xxLibrary& library) {
    std::uint32_t count = 0;
    if (library.FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY) != FT_OK) return {};
    std::vector<std::string> serials;
    for (std::uint32_t i = 0; i < count; ++i) {
        char buffer[17] = {};
        const FT_STATUS s = library.FT_ListDevices(reinterpret_cast<void*>(static_cast<std::uintptr_t>(i)),
                                                   buffer, FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER);
        serials.emplace_back(s == FT_OK ? std::string(buffer, strnlen(buffer, 16)) : std::string());
    }
    return serials;
}

std::vector<std::string> BoardSerials(const std::vector<std::string>& serials) {
    std::vector<std::string> boards;
    for (const std::string& s : serials) {
        if (s.size() < 2 || s.back() != 'A') continue;
        const std::string board = s.substr(0, s.size() - 1);
        const bool hasB = std::find(serials.begin(), serials.end(), board + "B") != serials.end();
        if (hasB && std::find(boards.begin(), boards.end(), board) == boards.end())
            boards.push_back(board);
    }
    return boards;
}

BoardFilter::BoardFilter(D2xxLibrary& inner, std::string boardSerial)
    : inner_(inner), board_(std::move(boardSerial)) {}

void BoardFilter::relist() {
    listed_ = true;
    visible_.clear();
    const std::vector<std::string> serials = DeviceSerials(inner_);
    for (const char* channel : {"A", "B"}) {
        const auto it = std::find(serials.begin(), serials.end(), board_ + channel);
        if (it == serials.end()) {
            visible_.clear();
            return;
        }
        visible_.push_back(static_cast<std::uint32_t>(it - serials.begin()));
    }
}

bool BoardFilter::inner(std::uint32_t index, std::uint32_t* innerIndex) {
    if (!listed_) relist();
    if (index >= visible_.size()) return false;
    *innerIndex = visible_[index];
    return true;
}

FT_STATUS BoardFilter::FT_ListDevices(void* arg1, void* arg2, std::uint32_t flags) {
    if (flags & FT_LIST_NUMBER_ONLY) {
        if (!arg1) return FT_INVALID_PARAMETER;
        std::uint32_t count = 0;
        if (const FT_STATUS s = inner_.FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY)) return s;
        relist();
        *static_cast<std::uint32_t*>(arg1) = static_cast<std::uint32_t>(visible_.size());
        return FT_OK;
    }
    std::uint32_t index = 0;
    if (!inner(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(arg1)), &index))
        return FT_DEVICE_NOT_FOUND;
    return inner_.FT_ListDevices(reinterpret_cast<void*>(static_cast<std::uintptr_t>(index)), arg2, flags);
}

FT_STATUS BoardFilter::FT_Open(int deviceNumber, FT_HANDLE* handle) {
    std::uint32_t index = 0;
    if (deviceNumber < 0 || !inner(static_cast<std::uint32_t>(deviceNumber), &index))
        return FT_DEVICE_NOT_FOUND;
    return inner_.FT_Open(static_cast<int>(index), handle);
}

FT_STATUS BoardFilter::FT_CreateDeviceInfoList(std::uint32_t* numDevices) {
    if (!numDevices) return FT_INVALID_PARAMETER;
    std::uint32_t count = 0;
    if (const FT_STATUS s = inner_.FT_CreateDeviceInfoList(&count)) return s;
    relist();
    *numDevices = static_cast<std::uint32_t>(visible_.size());
    return FT_OK;
}

FT_STATUS BoardFilter::FT_GetDeviceInfoDetail(std::uint32_t index, std::uint32_t* flags,
                                              std::uint32_t* type, std::uint32_t* id,
                                              std::uint32_t* locId, void* serialNumber,
                                              void* description, FT_HANDLE* handle) {
    std::uint32_t innerIndex = 0;
    if (!inner(index, &innerIndex)) return FT_DEVICE_NOT_FOUND;
    return inner_.FT_GetDeviceInfoDetail(innerIndex, flags, type, id, locId, serialNumber,
                                         description, handle);
}

}  // namespace usb
