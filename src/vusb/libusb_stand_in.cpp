// libusb-1.0 as libftdi1 1.5 and the program's libftdi backend use it, over
// the virtual FT2232H. Loaded in front of the system's libusb (LD_PRELOAD),
// these definitions take the place of the real ones; only the functions
// named in exports.map leave the library.
//
// Each context sees every board on the bus as a device object of its own,
// as libusb gives each context its own. Submitted transfers are filled by a
// thread of their own, as a host controller fills them without the host's
// CPU, so a program thread that is late to handle events delays the
// callbacks but loses nothing while transfers are queued. The callbacks run only inside the
// event-handling calls on their context, on the calling thread, as with the
// real library.
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <list>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "vusb/virtual_chip.h"

using vusb::Fill;
using vusb::VirtualBus;
using vusb::VirtualChip;

struct libusb_device {
    libusb_context* ctx = nullptr;
    VirtualChip* chip = nullptr;
    std::uint8_t place = 0;  // on the bus, from 0
};

struct libusb_context {
    std::vector<libusb_device> devices;  // one per board, made with the context
    std::list<libusb_transfer*> inFlight;  // in submission order
};

struct libusb_device_handle {
    libusb_device* dev = nullptr;
    unsigned claimed = 0;  // bit per interface
};

namespace {

// Where the bus puts the boards: bus 2, behind the hub on port 1, the
// first board on the hub's port 1 at address 5, the next on port 2 at 6 ...
constexpr std::uint8_t kBus = 2;
constexpr std::uint8_t kFirstAddress = 5;
constexpr std::uint8_t kHubPort = 1;
constexpr int kPortDepth = 2;

// Kept in front of every transfer the stand-in hands out.
struct TransferState {
    libusb_context* ctx = nullptr;
    bool inFlight = false;
    bool cancelled = false;
    bool done = false;
    std::int64_t submittedUs = 0;
    std::int64_t completeAtUs = 0;
    libusb_transfer_status status = LIBUSB_TRANSFER_COMPLETED;
};

constexpr std::size_t kStateRoom = (sizeof(TransferState) + alignof(std::max_align_t) - 1) /
                                   alignof(std::max_align_t) * alignof(std::max_align_t);

TransferState* stateOf(libusb_transfer* t) {
    return reinterpret_cast<TransferState*>(reinterpret_cast<unsigned char*>(t) - kStateRoom);
}

libusb_context* defaultContext = nullptr;
int defaultUsers = 0;

libusb_context* contextOf(libusb_context* ctx) { return ctx ? ctx : defaultContext; }

VirtualBus& bus() { return VirtualBus::instance(); }
std::mutex& busLock() { return bus().lock(); }

VirtualChip& chipOf(libusb_device* dev) { return *dev->chip; }
VirtualChip& chipOf(libusb_device_handle* handle) { return *handle->dev->chip; }

libusb_context* newContext() {
    auto* ctx = new (std::nothrow) libusb_context;
    if (!ctx) return nullptr;
    VirtualBus& b = bus();
    ctx->devices.resize(b.size());
    for (std::size_t i = 0; i < b.size(); ++i) {
        ctx->devices[i].ctx = ctx;
        ctx->devices[i].chip = &b.chip(i);
        ctx->devices[i].place = static_cast<std::uint8_t>(i);
    }
    return ctx;
}

const libusb_endpoint_descriptor kEndpoints[2][2] = {
    {{LIBUSB_DT_ENDPOINT_SIZE, LIBUSB_DT_ENDPOINT, 0x81, LIBUSB_TRANSFER_TYPE_BULK, 512, 0, 0, 0, nullptr, 0},
     {LIBUSB_DT_ENDPOINT_SIZE, LIBUSB_DT_ENDPOINT, 0x02, LIBUSB_TRANSFER_TYPE_BULK, 512, 0, 0, 0, nullptr, 0}},
    {{LIBUSB_DT_ENDPOINT_SIZE, LIBUSB_DT_ENDPOINT, 0x83, LIBUSB_TRANSFER_TYPE_BULK, 512, 0, 0, 0, nullptr, 0},
     {LIBUSB_DT_ENDPOINT_SIZE, LIBUSB_DT_ENDPOINT, 0x04, LIBUSB_TRANSFER_TYPE_BULK, 512, 0, 0, 0, nullptr, 0}},
};

// Vendor-specific class, one setting, string 2 (the product) for both.
const libusb_interface_descriptor kSettings[2] = {
    {LIBUSB_DT_INTERFACE_SIZE, LIBUSB_DT_INTERFACE, 0, 0, 2, 0xFF, 0xFF, 0xFF, 2, kEndpoints[0], nullptr, 0},
    {LIBUSB_DT_INTERFACE_SIZE, LIBUSB_DT_INTERFACE, 1, 0, 2, 0xFF, 0xFF, 0xFF, 2, kEndpoints[1], nullptr, 0},
};

const libusb_interface kInterfaces[2] = {{&kSettings[0], 1}, {&kSettings[1], 1}};

// Bus-powered, 500 mA; the total length counts config, 2 interfaces and 4 endpoints.
const libusb_config_descriptor kConfig = {
    LIBUSB_DT_CONFIG_SIZE, LIBUSB_DT_CONFIG,
    LIBUSB_DT_CONFIG_SIZE + 2 * LIBUSB_DT_INTERFACE_SIZE + 4 * LIBUSB_DT_ENDPOINT_SIZE,
    2, 1, 0, 0x80, 250, kInterfaces, nullptr, 0};

int interfaceOfEndpoint(unsigned char ep) {
    switch (ep) {
    case 0x81: case 0x02: return 0;
    case 0x83: case 0x04: return 1;
    default: return -1;
    }
}

void sleepUs(std::int64_t us) {
    if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
}

// A transfer is seen by the host at a microframe boundary at the earliest,
// and a slow host sees it later still.
void completeLate(const VirtualChip& c, std::int64_t startedUs) {
    const std::int64_t minimum = startedUs + vusb::kMicroframeUs + c.slowHostUs();
    sleepUs(minimum - vusb::nowUs());
}

// A caller waiting for a transfer looks again a microframe later, or at its
// deadline; false once the deadline has passed.
bool waitToNextLook(std::int64_t untilUs) {
    const std::int64_t now = vusb::nowUs();
    if (now >= untilUs) return false;
    sleepUs(std::min<std::int64_t>(vusb::kMicroframeUs, untilUs - now));
    return true;
}

std::int64_t deadlineOf(std::int64_t startUs, unsigned timeoutMs) {
    return timeoutMs ? startUs + std::int64_t{timeoutMs} * 1000 : INT64_MAX;
}

// Moves what can move now on ctx's transfers; with ready given, those the
// host sees as finished go there. Called with the bus's lock held.
void progress(libusb_context* ctx, std::list<libusb_transfer*>* ready) {
    const std::int64_t now = vusb::nowUs();
    // Endpoints whose oldest transfer still waits for data, by board.
    std::set<std::pair<const libusb_device*, unsigned char>> busy;
    for (auto it = ctx->inFlight.begin(); it != ctx->inFlight.end();) {
        libusb_transfer* t = *it;
        TransferState* s = stateOf(t);
        const int iface = interfaceOfEndpoint(t->endpoint);
        VirtualChip& c = chipOf(t->dev_handle);
        const auto endpoint = std::make_pair(t->dev_handle->dev, t->endpoint);
        if (!s->done) {
            const bool present = c.present();
            auto finish = [&](libusb_transfer_status status) {
                s->done = true;
                s->status = status;
                s->completeAtUs = std::max(now, s->submittedUs + vusb::kMicroframeUs) + c.slowHostUs();
            };
            if (!present) {
                finish(LIBUSB_TRANSFER_NO_DEVICE);
            } else if (s->cancelled) {
                finish(LIBUSB_TRANSFER_CANCELLED);
            } else if (!(t->endpoint & LIBUSB_ENDPOINT_IN)) {
                const int r = c.bulkOut(iface, t->buffer, t->length);
                t->actual_length = r == 0 ? t->length : 0;
                finish(r == 0 ? LIBUSB_TRANSFER_COMPLETED
                              : r == LIBUSB_ERROR_NO_DEVICE ? LIBUSB_TRANSFER_NO_DEVICE
                                                            : LIBUSB_TRANSFER_ERROR);
            } else if (!busy.count(endpoint)) {
                switch (c.fillIn(iface, t->buffer, t->length, &t->actual_length)) {
                case Fill::Done: finish(LIBUSB_TRANSFER_COMPLETED); break;
                case Fill::Overflow: finish(LIBUSB_TRANSFER_OVERFLOW); break;
                case Fill::NoDevice: finish(LIBUSB_TRANSFER_NO_DEVICE); break;
                case Fill::Waiting:
                    if (now >= deadlineOf(s->submittedUs, t->timeout)) finish(LIBUSB_TRANSFER_TIMED_OUT);
                    else busy.insert(endpoint);
                    break;
                }
            }
        }
        if (ready && s->done && now >= s->completeAtUs) {
            s->inFlight = false;
            t->status = s->status;
            ready->push_back(t);
            it = ctx->inFlight.erase(it);
        } else {
            ++it;
        }
    }
}

// The contexts with transfers, for the host controller; guarded by the
// bus's lock. Never destroyed, as the controller may outlive main().
std::set<libusb_context*>& contexts() {
    static auto* all = new std::set<libusb_context*>;
    return *all;
}

std::condition_variable& controllerWake() {
    static auto* cv = new std::condition_variable;
    return *cv;
}

// The host controller: every microframe it moves the queued transfers of
// every context. It sleeps while nothing is queued.
void startController() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::thread([] {
            std::unique_lock lock(busLock());
            for (;;) {
                bool queued = false;
                for (libusb_context* ctx : contexts()) {
                    progress(ctx, nullptr);
                    queued = queued || !ctx->inFlight.empty();
                }
                if (queued) {
                    lock.unlock();
                    sleepUs(vusb::kMicroframeUs);
                    lock.lock();
                } else {
                    controllerWake().wait_for(lock, std::chrono::milliseconds(100));
                }
            }
        }).detach();
    });
}

int handleEvents(libusb_context* ctx, const timeval* tv, int* completed) {
    ctx = contextOf(ctx);
    if (!ctx) return LIBUSB_ERROR_INVALID_PARAM;
    const std::int64_t waitUs = tv ? std::int64_t{tv->tv_sec} * 1000000 + tv->tv_usec : 60000000;
    const std::int64_t until = vusb::nowUs() + waitUs;
    for (;;) {
        std::list<libusb_transfer*> ready;
        {
            std::lock_guard lock(busLock());
            progress(ctx, &ready);
        }
        // Callbacks may submit, cancel or free transfers: no lock is held.
        for (libusb_transfer* t : ready) {
            const bool freeAfter = t->flags & LIBUSB_TRANSFER_FREE_TRANSFER;
            if (t->callback) t->callback(t);
            if (freeAfter) libusb_free_transfer(t);
        }
        if (!ready.empty()) return 0;
        if (completed && *completed) return 0;
        if (!waitToNextLook(until)) return 0;
    }
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
    bus();  // a bad option should show at once
    if (!ctx) {
        if (defaultUsers++ == 0) {
            defaultContext = newContext();
            if (!defaultContext) return LIBUSB_ERROR_NO_MEM;
            std::lock_guard lock(busLock());
            contexts().insert(defaultContext);
        }
        return 0;
    }
    libusb_context* c = newContext();
    if (!c) return LIBUSB_ERROR_NO_MEM;
    {
        std::lock_guard lock(busLock());
        contexts().insert(c);
    }
    *ctx = c;
    return 0;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
    if (!ctx) {
        if (defaultUsers > 0 && --defaultUsers == 0) {
            {
                std::lock_guard lock(busLock());
                contexts().erase(defaultContext);
            }
            delete defaultContext;
            defaultContext = nullptr;
        }
        return;
    }
    {
        std::lock_guard lock(busLock());
        contexts().erase(ctx);
    }
    delete ctx;
}

void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    ctx = contextOf(ctx);
    if (!ctx || !list) return LIBUSB_ERROR_INVALID_PARAM;
    // Null-terminated, as libusb's.
    auto** l = static_cast<libusb_device**>(std::calloc(ctx->devices.size() + 1, sizeof(libusb_device*)));
    if (!l) return LIBUSB_ERROR_NO_MEM;
    ssize_t n = 0;
    std::lock_guard lock(busLock());
    for (libusb_device& d : ctx->devices) {
        if (!d.chip->present()) continue;  // unplugged boards leave the list
        l[n++] = &d;
    }
    *list = l;
    return n;
}

// The device objects live as long as their context, so references are not
// counted.
void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int) { std::free(list); }

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) { return dev; }

void LIBUSB_CALL libusb_unref_device(libusb_device*) {}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device*, libusb_device_descriptor* desc) {
    *desc = {};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = 0x0403;
    desc->idProduct = 0x6010;
    desc->bcdDevice = 0x0700;  // FT2232H
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = 3;
    desc->bNumConfigurations = 1;
    return 0;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device*, uint8_t index,
                                             libusb_config_descriptor** config) {
    if (index != 0) return LIBUSB_ERROR_NOT_FOUND;
    *config = const_cast<libusb_config_descriptor*>(&kConfig);
    return 0;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev,
                                                    libusb_config_descriptor** config) {
    return libusb_get_config_descriptor(dev, 0, config);
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor*) {
    // The descriptor is a constant shared by all callers.
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*) { return kBus; }
uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
    return static_cast<uint8_t>(kFirstAddress + dev->place);
}
uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) {
    return static_cast<uint8_t>(1 + dev->place);
}

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* ports, int length) {
    if (length < kPortDepth) return LIBUSB_ERROR_OVERFLOW;
    ports[0] = kHubPort;
    ports[1] = libusb_get_port_number(dev);
    return kPortDepth;
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device*) { return LIBUSB_SPEED_HIGH; }

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device*, unsigned char endpoint) {
    return interfaceOfEndpoint(endpoint) < 0 ? LIBUSB_ERROR_NOT_FOUND : vusb::kPacketSize;
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle) {
    {
        std::lock_guard lock(busLock());
        if (!chipOf(dev).present()) return LIBUSB_ERROR_NO_DEVICE;
    }
    auto* h = new (std::nothrow) libusb_device_handle;
    if (!h) return LIBUSB_ERROR_NO_MEM;
    h->dev = libusb_ref_device(dev);
    *handle = h;
    return 0;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
    if (!handle) return;
    {
        std::lock_guard lock(busLock());
        for (int i = 0; i < 2; ++i)
            if (handle->claimed & (1u << i)) chipOf(handle).release(i);
        // Transfers still queued on the handle are dropped with it.
        auto& q = handle->dev->ctx->inFlight;
        for (auto it = q.begin(); it != q.end();) {
            if ((*it)->dev_handle == handle) {
                stateOf(*it)->inFlight = false;
                it = q.erase(it);
            } else {
                ++it;
            }
        }
    }
    libusb_unref_device(handle->dev);
    delete handle;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle) { return handle->dev; }

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* handle, int* config) {
    std::lock_guard lock(busLock());
    if (!chipOf(handle).present()) return LIBUSB_ERROR_NO_DEVICE;
    *config = 1;
    return 0;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* handle, int config) {
    std::lock_guard lock(busLock());
    if (!chipOf(handle).present()) return LIBUSB_ERROR_NO_DEVICE;
    if (config != 1 && config != -1) return LIBUSB_ERROR_NOT_FOUND;
    return handle->claimed ? LIBUSB_ERROR_BUSY : 0;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int iface) {
    std::lock_guard lock(busLock());
    if (iface >= 0 && iface < 2 && (handle->claimed & (1u << iface))) return 0;
    const int r = chipOf(handle).claim(iface);
    if (r == 0) handle->claimed |= 1u << iface;
    return r;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int iface) {
    std::lock_guard lock(busLock());
    if (iface < 0 || iface > 1 || !(handle->claimed & (1u << iface))) return LIBUSB_ERROR_NOT_FOUND;
    handle->claimed &= ~(1u << iface);
    return chipOf(handle).release(iface);
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* handle, int iface) {
    std::lock_guard lock(busLock());
    VirtualChip& c = chipOf(handle);
    if (!c.present()) return LIBUSB_ERROR_NO_DEVICE;
    if (iface < 0 || iface > 1) return LIBUSB_ERROR_NOT_FOUND;
    return c.kernelDriverActive(iface) ? 1 : 0;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* handle, int iface) {
    std::lock_guard lock(busLock());
    return chipOf(handle).detachKernelDriver(iface);
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* handle, int iface) {
    std::lock_guard lock(busLock());
    return chipOf(handle).attachKernelDriver(iface);
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* handle, int enable) {
    std::lock_guard lock(busLock());
    chipOf(handle).setAutoDetach(enable != 0);
    return 0;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                                   unsigned char* data, int length) {
    VirtualChip& c = chipOf(handle);
    const std::int64_t start = vusb::nowUs();
    std::string text;
    {
        std::lock_guard lock(busLock());
        if (!c.present()) return LIBUSB_ERROR_NO_DEVICE;
        switch (index) {
        case 1: text = "FTDI"; break;
        case 2: text = "Dual RS232-HS"; break;
        case 3: text = c.serial(); break;
        default: return LIBUSB_ERROR_PIPE;  // the chip stalls unknown strings
        }
    }
    if (length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    // Like libusb: no terminating NUL, and cut to the buffer.
    const int n = std::min(length, static_cast<int>(text.size()));
    std::memcpy(data, text.data(), static_cast<std::size_t>(n));
    if (n < length) data[n] = 0;
    completeLate(c, start);
    return n;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t requestType,
                                        uint8_t request, uint16_t value, uint16_t index,
                                        unsigned char* data, uint16_t length, unsigned int) {
    VirtualChip& c = chipOf(handle);
    const std::int64_t start = vusb::nowUs();
    int r = 0;
    {
        std::lock_guard lock(busLock());
        r = c.control(requestType, request, value, index, data, length);
    }
    completeLate(c, start);
    return r;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* transferred,
                                     unsigned int timeout) {
    VirtualChip& c = chipOf(handle);
    int dummy = 0;
    int& actual = transferred ? *transferred : dummy;
    actual = 0;
    const int iface = interfaceOfEndpoint(endpoint);
    if (iface < 0 || !(handle->claimed & (1u << iface))) return LIBUSB_ERROR_NOT_FOUND;
    const std::int64_t start = vusb::nowUs();
    if (!(endpoint & LIBUSB_ENDPOINT_IN)) {
        int r = 0;
        {
            std::lock_guard lock(busLock());
            r = c.bulkOut(iface, data, length);
        }
        if (r == 0) actual = length;
        completeLate(c, start);
        return r;
    }
    const std::int64_t until = deadlineOf(start, timeout);
    for (;;) {
        Fill f = Fill::Waiting;
        {
            std::lock_guard lock(busLock());
            f = c.fillIn(iface, data, length, &actual);
        }
        switch (f) {
        case Fill::Done: completeLate(c, start); return 0;
        case Fill::Overflow: completeLate(c, start); return LIBUSB_ERROR_OVERFLOW;
        case Fill::NoDevice: return LIBUSB_ERROR_NO_DEVICE;
        case Fill::Waiting: break;
        }
        if (!waitToNextLook(until)) return LIBUSB_ERROR_TIMEOUT;
    }
}

libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int isoPackets) {
    if (isoPackets < 0) return nullptr;
    const std::size_t size = kStateRoom + sizeof(libusb_transfer) +
                             static_cast<std::size_t>(isoPackets) * sizeof(libusb_iso_packet_descriptor);
    auto* block = static_cast<unsigned char*>(std::calloc(1, size));
    if (!block) return nullptr;
    new (block) TransferState;
    auto* t = reinterpret_cast<libusb_transfer*>(block + kStateRoom);
    t->num_iso_packets = isoPackets;
    return t;
}

void LIBUSB_CALL libusb_free_transfer(libusb_transfer* t) {
    if (!t) return;
    TransferState* s = stateOf(t);
    if (s->inFlight && s->ctx) {
        std::lock_guard lock(busLock());
        s->ctx->inFlight.remove(t);
    }
    if (t->flags & LIBUSB_TRANSFER_FREE_BUFFER) std::free(t->buffer);
    s->~TransferState();
    std::free(s);
}

int LIBUSB_CALL libusb_submit_transfer(libusb_transfer* t) {
    TransferState* s = stateOf(t);
    if (t->type != LIBUSB_TRANSFER_TYPE_BULK) return LIBUSB_ERROR_NOT_SUPPORTED;
    const int iface = interfaceOfEndpoint(t->endpoint);
    if (!t->dev_handle || iface < 0 || !(t->dev_handle->claimed & (1u << iface)))
        return LIBUSB_ERROR_NOT_FOUND;
    std::lock_guard lock(busLock());
    if (s->inFlight) return LIBUSB_ERROR_BUSY;
    if (!chipOf(t->dev_handle).present()) return LIBUSB_ERROR_NO_DEVICE;
    s->ctx = t->dev_handle->dev->ctx;
    s->inFlight = true;
    s->cancelled = false;
    s->done = false;
    s->submittedUs = vusb::nowUs();
    t->actual_length = 0;
    s->ctx->inFlight.push_back(t);
    startController();
    controllerWake().notify_one();
    return 0;
}

int LIBUSB_CALL libusb_cancel_transfer(libusb_transfer* t) {
    TransferState* s = stateOf(t);
    std::lock_guard lock(busLock());
    if (!s->inFlight || s->cancelled || s->done) return LIBUSB_ERROR_NOT_FOUND;
    s->cancelled = true;
    return 0;
}

int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context* ctx, timeval* tv,
                                                       int* completed) {
    return handleEvents(ctx, tv, completed);
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, timeval* tv) {
    return handleEvents(ctx, tv, nullptr);
}

int LIBUSB_CALL libusb_handle_events_completed(libusb_context* ctx, int* completed) {
    return handleEvents(ctx, nullptr, completed);
}

int LIBUSB_CALL libusb_handle_events(libusb_context* ctx) { return handleEvents(ctx, nullptr, nullptr); }

const char* LIBUSB_CALL libusb_error_name(int code) {
    switch (code) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    default: return "LIBUSB_ERROR_OTHER";
    }
}

}  // extern "C"
