// libusb-1.0 over the virtual FT2232H: every function of the library's API,
// so that a client loaded in front of the system's libusb (LD_PRELOAD), or
// one that loads this library by name (pyusb), never reaches the real one
// with our objects. What the chip does is modelled (descriptors, standard
// and vendor requests, bulk transfers, port reset); what a high-speed
// vendor-class device cannot do (isochronous and interrupt transfers, bulk
// streams, BOS, hotplug events, device memory) fails as libusb documents it
// for a device or platform without it. Only the functions named in
// exports.map leave the library.
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
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <list>
#include <new>
#include <set>
#include <thread>
#include <type_traits>
#include <vector>

#include "vusb/virtual_chip.h"

using vusb::Fill;
using vusb::VirtualBus;
using vusb::VirtualChip;

struct libusb_device {
    libusb_context* ctx = nullptr;
    VirtualChip* chip = nullptr;
    std::uint8_t place = 0;  // on the bus, from 0
    libusb_device_descriptor descriptor{};  // as the chip answers GET_DESCRIPTOR
};

struct libusb_context {
    std::vector<libusb_device> devices;  // one per board, made with the context
    std::list<libusb_transfer*> inFlight;  // in submission order; under the bus's lock
    std::atomic<bool> interrupted{false};  // libusb_interrupt_event_handler
    // The event lock and the event waiters' lock of libusb's threading
    // model, for clients that handle events themselves.
    std::mutex events;
    std::mutex waiters;
    std::condition_variable_any eventDone;
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

using vusb::interfaceOfEndpoint;

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

libusb_device_descriptor parseDeviceDescriptor(const std::vector<std::uint8_t>& d) {
    libusb_device_descriptor r{};
    r.bLength = d[0];
    r.bDescriptorType = d[1];
    r.bcdUSB = le16(&d[2]);
    r.bDeviceClass = d[4];
    r.bDeviceSubClass = d[5];
    r.bDeviceProtocol = d[6];
    r.bMaxPacketSize0 = d[7];
    r.idVendor = le16(&d[8]);
    r.idProduct = le16(&d[10]);
    r.bcdDevice = le16(&d[12]);
    r.iManufacturer = d[14];
    r.iProduct = d[15];
    r.iSerialNumber = d[16];
    r.bNumConfigurations = d[17];
    return r;
}

// A configuration descriptor as libusb hands it out: one block, freed by
// libusb_free_config_descriptor, the configuration first so that its
// address is the block's.
struct ParsedConfig {
    static constexpr int MaxInterfaces = 4, MaxEndpoints = 8;
    libusb_config_descriptor config;
    libusb_interface interfaces[MaxInterfaces];
    libusb_interface_descriptor settings[MaxInterfaces];
    libusb_endpoint_descriptor endpoints[MaxEndpoints];
};
static_assert(std::is_standard_layout_v<ParsedConfig>);

// The chip's configuration descriptor (one setting per interface) in
// libusb's structures; nullptr when it does not parse.
libusb_config_descriptor* parseConfig(const std::vector<std::uint8_t>& d) {
    auto* p = new (std::nothrow) ParsedConfig{};
    if (!p) return nullptr;
    libusb_config_descriptor& c = p->config;
    c.bLength = d[0];
    c.bDescriptorType = d[1];
    c.wTotalLength = le16(&d[2]);
    c.bNumInterfaces = d[4];
    c.bConfigurationValue = d[5];
    c.iConfiguration = d[6];
    c.bmAttributes = d[7];
    c.MaxPower = d[8];
    c.interface = p->interfaces;
    int interfaces = 0, endpoints = 0;
    for (std::size_t at = d[0]; at + 2 <= d.size() && d[at] >= 2; at += d[at]) {
        const std::uint8_t* b = &d[at];
        if (b[1] == LIBUSB_DT_INTERFACE && interfaces < ParsedConfig::MaxInterfaces) {
            libusb_interface_descriptor& s = p->settings[interfaces];
            s = {b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], &p->endpoints[endpoints], nullptr, 0};
            p->interfaces[interfaces] = {&s, 1};
            ++interfaces;
        } else if (b[1] == LIBUSB_DT_ENDPOINT && interfaces > 0 && endpoints < ParsedConfig::MaxEndpoints) {
            p->endpoints[endpoints++] = {b[0], b[1], b[2], b[3], le16(b + 4), b[6], 0, 0, nullptr, 0};
        }
    }
    if (interfaces != c.bNumInterfaces) {
        delete p;
        return nullptr;
    }
    return &p->config;
}


// Kept in front of every transfer the stand-in hands out.
struct TransferState {
    libusb_context* ctx = nullptr;
    bool inFlight = false;
    bool cancelled = false;
    bool done = false;
    std::int64_t submittedUs = 0;
    std::int64_t completeAtUs = 0;
    libusb_transfer_status status = LIBUSB_TRANSFER_COMPLETED;
    std::uint32_t streamId = 0;
};

constexpr std::size_t kStateRoom = (sizeof(TransferState) + alignof(std::max_align_t) - 1) /
                                   alignof(std::max_align_t) * alignof(std::max_align_t);

TransferState* stateOf(libusb_transfer* t) {
    return reinterpret_cast<TransferState*>(reinterpret_cast<unsigned char*>(t) - kStateRoom);
}

// The default context and how many libusb_init(NULL) calls share it.
std::mutex defaultLock;
std::atomic<libusb_context*> defaultContext{nullptr};
int defaultUsers = 0;  // under defaultLock

libusb_context* contextOf(libusb_context* ctx) { return ctx ? ctx : defaultContext.load(); }

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
        ctx->devices[i].descriptor = parseDeviceDescriptor(b.chip(i).descriptors().device);
    }
    return ctx;
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
                              : r == LIBUSB_ERROR_PIPE ? LIBUSB_TRANSFER_STALL
                                                       : LIBUSB_TRANSFER_ERROR);
            } else if (!busy.count(endpoint)) {
                switch (c.fillIn(iface, t->buffer, t->length, &t->actual_length)) {
                case Fill::Done: finish(LIBUSB_TRANSFER_COMPLETED); break;
                case Fill::Overflow: finish(LIBUSB_TRANSFER_OVERFLOW); break;
                case Fill::Stall: finish(LIBUSB_TRANSFER_STALL); break;
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
        if (!ready.empty()) {
            // Threads waiting for another's event handling look again.
            ctx->eventDone.notify_all();
            return 0;
        }
        if (completed && *completed) return 0;
        if (ctx->interrupted.exchange(false)) return 0;
        if (!waitToNextLook(until)) return 0;
    }
}

// A synchronous control request on the chip, seen by the caller no sooner
// than a microframe later, as on the bus.
int controlRequest(libusb_device_handle* handle, std::uint8_t requestType, std::uint8_t request,
                   std::uint16_t value, std::uint16_t index, unsigned char* data, std::uint16_t length) {
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

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
    bus();  // a bad option should show at once
    if (!ctx) {
        std::lock_guard users(defaultLock);
        if (defaultUsers == 0) {
            libusb_context* c = newContext();
            if (!c) return LIBUSB_ERROR_NO_MEM;
            {
                std::lock_guard lock(busLock());
                contexts().insert(c);
            }
            defaultContext = c;
        }
        ++defaultUsers;
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
        std::lock_guard users(defaultLock);
        if (defaultUsers > 0 && --defaultUsers == 0) {
            libusb_context* c = defaultContext.exchange(nullptr);
            {
                std::lock_guard lock(busLock());
                contexts().erase(c);
            }
            delete c;
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

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
    *desc = dev->descriptor;
    return 0;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t index,
                                             libusb_config_descriptor** config) {
    if (index >= dev->descriptor.bNumConfigurations) return LIBUSB_ERROR_NOT_FOUND;
    *config = parseConfig(chipOf(dev).descriptors().config);
    return *config ? 0 : LIBUSB_ERROR_NO_MEM;
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* dev, uint8_t value,
                                                      libusb_config_descriptor** config) {
    const std::vector<std::uint8_t>& d = chipOf(dev).descriptors().config;
    if (value != d[5]) return LIBUSB_ERROR_NOT_FOUND;
    return libusb_get_config_descriptor(dev, 0, config);
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev,
                                                    libusb_config_descriptor** config) {
    {
        std::lock_guard lock(busLock());
        if (chipOf(dev).configuration() == 0) return LIBUSB_ERROR_NOT_FOUND;
    }
    return libusb_get_config_descriptor(dev, 0, config);
}

void LIBUSB_CALL libusb_free_config_descriptor(libusb_config_descriptor* config) {
    if (config) delete reinterpret_cast<ParsedConfig*>(config);
}

// A USB 2.0 device has no BOS descriptor: the chip stalls the request.
int LIBUSB_CALL libusb_get_bos_descriptor(libusb_device_handle* handle, libusb_bos_descriptor** bos) {
    *bos = nullptr;
    unsigned char header[5];
    const int r = controlRequest(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                                 LIBUSB_DT_BOS << 8, 0, header, sizeof header);
    return r < 0 ? r : LIBUSB_ERROR_IO;
}

// None of these is ever handed out; they exist for no device on this bus.
void LIBUSB_CALL libusb_free_bos_descriptor(libusb_bos_descriptor*) {}
void LIBUSB_CALL libusb_free_ss_endpoint_companion_descriptor(libusb_ss_endpoint_companion_descriptor*) {}
void LIBUSB_CALL libusb_free_usb_2_0_extension_descriptor(libusb_usb_2_0_extension_descriptor*) {}
void LIBUSB_CALL libusb_free_ss_usb_device_capability_descriptor(libusb_ss_usb_device_capability_descriptor*) {}
void LIBUSB_CALL libusb_free_container_id_descriptor(libusb_container_id_descriptor*) {}

// High-speed endpoints have no SuperSpeed companion.
int LIBUSB_CALL libusb_get_ss_endpoint_companion_descriptor(libusb_context*, const libusb_endpoint_descriptor*,
                                                            libusb_ss_endpoint_companion_descriptor** comp) {
    *comp = nullptr;
    return LIBUSB_ERROR_NOT_FOUND;
}

// Capabilities come from a BOS descriptor, which the chip does not have.
int LIBUSB_CALL libusb_get_usb_2_0_extension_descriptor(libusb_context*, libusb_bos_dev_capability_descriptor*,
                                                        libusb_usb_2_0_extension_descriptor** out) {
    *out = nullptr;
    return LIBUSB_ERROR_INVALID_PARAM;
}

int LIBUSB_CALL libusb_get_ss_usb_device_capability_descriptor(libusb_context*,
                                                               libusb_bos_dev_capability_descriptor*,
                                                               libusb_ss_usb_device_capability_descriptor** out) {
    *out = nullptr;
    return LIBUSB_ERROR_INVALID_PARAM;
}

int LIBUSB_CALL libusb_get_container_id_descriptor(libusb_context*, libusb_bos_dev_capability_descriptor*,
                                                   libusb_container_id_descriptor** out) {
    *out = nullptr;
    return LIBUSB_ERROR_INVALID_PARAM;
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

int LIBUSB_CALL libusb_get_port_path(libusb_context*, libusb_device* dev, uint8_t* path, uint8_t length) {
    return libusb_get_port_numbers(dev, path, length);
}

// The hub the boards sit behind is not on the device list, as libusb leaves
// out a parent it has not enumerated.
libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device*) { return nullptr; }

int LIBUSB_CALL libusb_get_device_speed(libusb_device*) { return LIBUSB_SPEED_HIGH; }

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device*, unsigned char endpoint) {
    return interfaceOfEndpoint(endpoint) < 0 ? LIBUSB_ERROR_NOT_FOUND : vusb::kPacketSize;
}

// For a bulk endpoint, its packet size, as libusb answers for endpoints
// that are not isochronous.
int LIBUSB_CALL libusb_get_max_iso_packet_size(libusb_device* dev, unsigned char endpoint) {
    return libusb_get_max_packet_size(dev, endpoint);
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

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx, uint16_t vendor,
                                                                  uint16_t product) {
    ctx = contextOf(ctx);
    if (!ctx) return nullptr;
    for (libusb_device& d : ctx->devices) {
        if (d.descriptor.idVendor != vendor || d.descriptor.idProduct != product) continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(&d, &handle) == 0) return handle;
    }
    return nullptr;
}

int LIBUSB_CALL libusb_wrap_sys_device(libusb_context*, intptr_t, libusb_device_handle** handle) {
    *handle = nullptr;
    return LIBUSB_ERROR_NOT_SUPPORTED;  // the boards have no file descriptors
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* handle, int* config) {
    std::lock_guard lock(busLock());
    if (!chipOf(handle).present()) return LIBUSB_ERROR_NO_DEVICE;
    *config = chipOf(handle).configuration();
    return 0;
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* handle, int config) {
    {
        std::lock_guard lock(busLock());
        if (!chipOf(handle).present()) return LIBUSB_ERROR_NO_DEVICE;
        if (config != 1 && config != 0 && config != -1) return LIBUSB_ERROR_NOT_FOUND;
        if (handle->claimed) return LIBUSB_ERROR_BUSY;
    }
    unsigned char none = 0;
    const int r = controlRequest(handle, LIBUSB_ENDPOINT_OUT, LIBUSB_REQUEST_SET_CONFIGURATION,
                                 static_cast<uint16_t>(config < 0 ? 0 : config), 0, &none, 0);
    return r < 0 ? r : 0;
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* handle, int iface, int alternate) {
    {
        std::lock_guard lock(busLock());
        if (!chipOf(handle).present()) return LIBUSB_ERROR_NO_DEVICE;
        if (iface < 0 || iface > 1 || !(handle->claimed & (1u << iface))) return LIBUSB_ERROR_NOT_FOUND;
    }
    // The kernel looks the setting up in the descriptors before it asks the
    // chip: each interface has setting 0 only.
    if (alternate != 0) return LIBUSB_ERROR_NOT_FOUND;
    unsigned char none = 0;
    const int r = controlRequest(handle, static_cast<uint8_t>(LIBUSB_ENDPOINT_OUT) | LIBUSB_RECIPIENT_INTERFACE,
                                 LIBUSB_REQUEST_SET_INTERFACE, 0, static_cast<uint16_t>(iface), &none, 0);
    return r < 0 ? r : 0;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint) {
    {
        std::lock_guard lock(busLock());
        if (!chipOf(handle).present()) return LIBUSB_ERROR_NO_DEVICE;
    }
    if (interfaceOfEndpoint(endpoint) < 0) return LIBUSB_ERROR_NOT_FOUND;
    unsigned char none = 0;
    const int r = controlRequest(handle, static_cast<uint8_t>(LIBUSB_ENDPOINT_OUT) | LIBUSB_RECIPIENT_ENDPOINT,
                                 LIBUSB_REQUEST_CLEAR_FEATURE, 0, endpoint, &none, 0);
    return r < 0 ? r : 0;
}

// A port reset: the chip starts over and the kernel sets its address and
// configuration again; interfaces the handle claimed stay claimed.
int LIBUSB_CALL libusb_reset_device(libusb_device_handle* handle) {
    VirtualChip& c = chipOf(handle);
    const std::int64_t start = vusb::nowUs();
    int r = 0;
    {
        std::lock_guard lock(busLock());
        r = c.resetPort();
    }
    // Reset signalling lasts at least 10 ms.
    if (r == 0) sleepUs(10000 - (vusb::nowUs() - start));
    return r;
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

// As libusb does it: the first language the chip lists, then the string in
// it, Latin-1 characters kept and the others made '?', cut to the buffer
// and always NUL-terminated.
int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                                   unsigned char* data, int length) {
    if (index == 0 || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    unsigned char d[255];
    int r = controlRequest(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, LIBUSB_DT_STRING << 8, 0, d, 4);
    if (r < 0) return r;
    if (r != 4 || d[0] < 4 || d[1] != LIBUSB_DT_STRING) return LIBUSB_ERROR_IO;
    const std::uint16_t language = le16(d + 2);
    r = controlRequest(handle, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                       static_cast<uint16_t>(LIBUSB_DT_STRING << 8 | index), language, d, sizeof d);
    if (r < 0) return r;
    if (r < 2 || d[0] > r || d[1] != LIBUSB_DT_STRING) return LIBUSB_ERROR_IO;
    int n = 0;
    for (int at = 2; at + 1 < d[0] && n < length - 1; at += 2) {
        const std::uint16_t c = le16(d + at);
        data[n++] = c < 0x80 ? static_cast<unsigned char>(c) : '?';
    }
    data[n] = 0;
    return n;
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t requestType,
                                        uint8_t request, uint16_t value, uint16_t index,
                                        unsigned char* data, uint16_t length, unsigned int) {
    return controlRequest(handle, requestType, request, value, index, data, length);
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* transferred,
                                     unsigned int timeout) {
    VirtualChip& c = chipOf(handle);
    int dummy = 0;
    int& actual = transferred ? *transferred : dummy;
    actual = 0;
    const int iface = interfaceOfEndpoint(endpoint);
    if (iface < 0) return LIBUSB_ERROR_NOT_FOUND;
    const std::int64_t start = vusb::nowUs();
    if (!(endpoint & LIBUSB_ENDPOINT_IN)) {
        int r = 0;
        {
            std::lock_guard lock(busLock());
            if (!(handle->claimed & (1u << iface))) return LIBUSB_ERROR_NOT_FOUND;
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
            if (!(handle->claimed & (1u << iface))) return LIBUSB_ERROR_NOT_FOUND;
            f = c.fillIn(iface, data, length, &actual);
        }
        switch (f) {
        case Fill::Done: completeLate(c, start); return 0;
        case Fill::Overflow: completeLate(c, start); return LIBUSB_ERROR_OVERFLOW;
        case Fill::Stall: completeLate(c, start); return LIBUSB_ERROR_PIPE;
        case Fill::NoDevice: return LIBUSB_ERROR_NO_DEVICE;
        case Fill::Waiting: break;
        }
        if (!waitToNextLook(until)) return LIBUSB_ERROR_TIMEOUT;
    }
}

// The chip has bulk endpoints only.
int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char*,
                                          int, int* transferred, unsigned int) {
    if (transferred) *transferred = 0;
    {
        std::lock_guard lock(busLock());
        if (!chipOf(handle).present()) return LIBUSB_ERROR_NO_DEVICE;
    }
    return interfaceOfEndpoint(endpoint) < 0 ? LIBUSB_ERROR_NOT_FOUND : LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_alloc_streams(libusb_device_handle*, uint32_t, unsigned char*, int) {
    return LIBUSB_ERROR_NOT_SUPPORTED;  // bulk streams are SuperSpeed only
}

int LIBUSB_CALL libusb_free_streams(libusb_device_handle*, unsigned char*, int) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

unsigned char* LIBUSB_CALL libusb_dev_mem_alloc(libusb_device_handle*, size_t) { return nullptr; }

int LIBUSB_CALL libusb_dev_mem_free(libusb_device_handle*, unsigned char*, size_t) {
    return LIBUSB_ERROR_NOT_SUPPORTED;  // nothing was ever allocated
}

void LIBUSB_CALL libusb_transfer_set_stream_id(libusb_transfer* t, uint32_t id) { stateOf(t)->streamId = id; }
uint32_t LIBUSB_CALL libusb_transfer_get_stream_id(libusb_transfer* t) { return stateOf(t)->streamId; }

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
    {
        std::lock_guard lock(busLock());
        if (s->inFlight && s->ctx) s->ctx->inFlight.remove(t);
    }
    if (t->flags & LIBUSB_TRANSFER_FREE_BUFFER) std::free(t->buffer);
    s->~TransferState();
    std::free(s);
}

int LIBUSB_CALL libusb_submit_transfer(libusb_transfer* t) {
    TransferState* s = stateOf(t);
    if (t->type != LIBUSB_TRANSFER_TYPE_BULK) return LIBUSB_ERROR_NOT_SUPPORTED;
    const int iface = interfaceOfEndpoint(t->endpoint);
    if (!t->dev_handle || iface < 0) return LIBUSB_ERROR_NOT_FOUND;
    std::lock_guard lock(busLock());
    if (!(t->dev_handle->claimed & (1u << iface))) return LIBUSB_ERROR_NOT_FOUND;
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

int LIBUSB_CALL libusb_handle_events_locked(libusb_context* ctx, timeval* tv) {
    return handleEvents(ctx, tv, nullptr);
}

// libusb's locks for clients that run their own event loop. Transfers here
// complete on the controller's thread whoever holds them; they only order
// the clients' threads among themselves.
int LIBUSB_CALL libusb_try_lock_events(libusb_context* ctx) {
    ctx = contextOf(ctx);
    return ctx && ctx->events.try_lock() ? 0 : 1;
}

void LIBUSB_CALL libusb_lock_events(libusb_context* ctx) {
    if ((ctx = contextOf(ctx))) ctx->events.lock();
}

void LIBUSB_CALL libusb_unlock_events(libusb_context* ctx) {
    if (!(ctx = contextOf(ctx))) return;
    ctx->events.unlock();
    std::lock_guard waiters(ctx->waiters);
    ctx->eventDone.notify_all();
}

int LIBUSB_CALL libusb_event_handling_ok(libusb_context*) { return 1; }

int LIBUSB_CALL libusb_event_handler_active(libusb_context* ctx) {
    if (!(ctx = contextOf(ctx))) return 0;
    if (!ctx->events.try_lock()) return 1;
    ctx->events.unlock();
    return 0;
}

void LIBUSB_CALL libusb_interrupt_event_handler(libusb_context* ctx) {
    if ((ctx = contextOf(ctx))) ctx->interrupted = true;
}

void LIBUSB_CALL libusb_lock_event_waiters(libusb_context* ctx) {
    if ((ctx = contextOf(ctx))) ctx->waiters.lock();
}

void LIBUSB_CALL libusb_unlock_event_waiters(libusb_context* ctx) {
    if ((ctx = contextOf(ctx))) ctx->waiters.unlock();
}

// Called with the waiters' lock held: 0 when another thread's event
// handling finished, 1 on the time-out.
int LIBUSB_CALL libusb_wait_for_event(libusb_context* ctx, timeval* tv) {
    if (!(ctx = contextOf(ctx))) return 1;
    std::unique_lock held(ctx->waiters, std::adopt_lock);
    const auto wait = tv ? std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec)
                         : std::chrono::microseconds(std::chrono::hours(1));
    const bool woken = ctx->eventDone.wait_for(held, wait) == std::cv_status::no_timeout;
    held.release();
    return woken ? 0 : 1;
}

// Nothing to poll: the boards have no file descriptors. A client that polls
// must wake at the times libusb_get_next_timeout gives.
const libusb_pollfd** LIBUSB_CALL libusb_get_pollfds(libusb_context*) {
    return static_cast<const libusb_pollfd**>(std::calloc(1, sizeof(libusb_pollfd*)));
}

void LIBUSB_CALL libusb_free_pollfds(const libusb_pollfd** pollfds) { std::free(pollfds); }

void LIBUSB_CALL libusb_set_pollfd_notifiers(libusb_context*, libusb_pollfd_added_cb, libusb_pollfd_removed_cb,
                                             void*) {}

int LIBUSB_CALL libusb_pollfds_handle_timeouts(libusb_context*) { return 0; }

// With transfers queued, look again in a microframe.
int LIBUSB_CALL libusb_get_next_timeout(libusb_context* ctx, timeval* tv) {
    if (!(ctx = contextOf(ctx))) return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard lock(busLock());
    if (ctx->inFlight.empty()) return 0;
    *tv = {0, vusb::kMicroframeUs};
    return 1;
}

// The bus is fixed when the process starts; boards leave it only as a fault.
int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context*, int, int, int, int, int,
                                                 libusb_hotplug_callback_fn, void*,
                                                 libusb_hotplug_callback_handle* handle) {
    if (handle) *handle = 0;
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context*, libusb_hotplug_callback_handle) {}

void* LIBUSB_CALL libusb_hotplug_get_user_data(libusb_context*, libusb_hotplug_callback_handle) {
    return nullptr;
}

const libusb_version* LIBUSB_CALL libusb_get_version(void) {
    // The API this stand-in follows.
    static const libusb_version version = {1, 0, 26, 0, "", "vesper_vusb: a virtual FT2232H"};
    return &version;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
    switch (capability) {
    case LIBUSB_CAP_HAS_CAPABILITY:
    case LIBUSB_CAP_SUPPORTS_DETACH_KERNEL_DRIVER: return 1;
    default: return 0;  // no hotplug events, no HID access
    }
}

void LIBUSB_CALL libusb_set_log_cb(libusb_context*, libusb_log_cb, int) {}  // it logs nothing

int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option option, ...) {
    switch (option) {
    case LIBUSB_OPTION_LOG_LEVEL: return 0;
    default: return LIBUSB_ERROR_NOT_SUPPORTED;  // UsbDk is Windows'; discovery is the bus's
    }
}

// Its messages are in English only.
int LIBUSB_CALL libusb_setlocale(const char* locale) {
    if (!locale || std::strlen(locale) < 2 || (locale[2] != '\0' && locale[2] != '-' && locale[2] != '_' &&
                                                locale[2] != '.'))
        return LIBUSB_ERROR_INVALID_PARAM;
    return (locale[0] == 'e' || locale[0] == 'E') && (locale[1] == 'n' || locale[1] == 'N')
               ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

const char* LIBUSB_CALL libusb_strerror(int code) {
    switch (code) {
    case LIBUSB_SUCCESS: return "Success";
    case LIBUSB_ERROR_IO: return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM: return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS: return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE: return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND: return "Entity not found";
    case LIBUSB_ERROR_BUSY: return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT: return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW: return "Overflow";
    case LIBUSB_ERROR_PIPE: return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED: return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM: return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "Operation not supported or unimplemented on this platform";
    default: return "Other error";
    }
}

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
