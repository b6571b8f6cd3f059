#include "transfers/fake_usb.h"

#include <ftdi.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

namespace fake_usb {

Stack& stack() {
    // Never destroyed: what it holds at exit is held, not leaked.
    static Stack* s = new Stack;
    return *s;
}

}  // namespace fake_usb

using fake_usb::stack;

namespace {

// Stand-ins for the handles: never looked into.
libusb_context* const kContext = reinterpret_cast<libusb_context*>(0x1000);
libusb_device_handle* const kDevice = reinterpret_cast<libusb_device_handle*>(0x2000);

}  // namespace

extern "C" {

ftdi_context* ftdi_new() {
    auto* ctx = static_cast<ftdi_context*>(std::calloc(1, sizeof(ftdi_context)));
    std::lock_guard lock(stack().m);
    stack().contexts.insert(ctx);
    return ctx;
}
void ftdi_free(ftdi_context* ctx) {
    std::lock_guard lock(stack().m);
    ++stack().contextsFreed;
    stack().contexts.erase(ctx);
    std::free(ctx);
}
int ftdi_set_interface(ftdi_context*, ftdi_interface) { return 0; }
int ftdi_usb_open_bus_addr(ftdi_context* ctx, uint8_t, uint8_t) {
    ctx->usb_ctx = kContext;
    ctx->usb_dev = kDevice;
    ctx->max_packet_size = 512;
    ctx->out_ep = 0x83;
    ctx->in_ep = 0x04;
    ctx->readbuffer_chunksize = 4096;
    ctx->writebuffer_chunksize = 4096;
    std::lock_guard lock(stack().m);
    ++stack().contextsOpen;
    return 0;
}
int ftdi_usb_close(ftdi_context*) {
    std::lock_guard lock(stack().m);
    --stack().contextsOpen;
    if (!stack().inFlight.empty()) ++stack().closedWithTransfersOut;
    return 0;
}
int ftdi_usb_find_all(ftdi_context*, ftdi_device_list** list, int, int) {
    *list = nullptr;
    return 0;
}
void ftdi_list_free(ftdi_device_list**) {}
int ftdi_set_bitmode(ftdi_context*, unsigned char, unsigned char) { return 0; }
int ftdi_set_latency_timer(ftdi_context*, unsigned char) { return 0; }
int ftdi_tciflush(ftdi_context*) { return 0; }
int ftdi_tcoflush(ftdi_context*) { return 0; }
int ftdi_usb_reset(ftdi_context*) { return 0; }
int ftdi_read_data_set_chunksize(ftdi_context*, unsigned int) { return 0; }
int ftdi_write_data_set_chunksize(ftdi_context*, unsigned int) { return 0; }

libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int) {
    auto* t = static_cast<libusb_transfer*>(std::calloc(1, sizeof(libusb_transfer)));
    std::lock_guard lock(stack().m);
    stack().allocated.insert(t);
    return t;
}
void LIBUSB_CALL libusb_free_transfer(libusb_transfer* t) {
    {
        std::lock_guard lock(stack().m);
        if (stack().inFlight.count(t)) ++stack().freedInFlight;
        stack().allocated.erase(t);
    }
    std::free(t);
}
int LIBUSB_CALL libusb_submit_transfer(libusb_transfer* t) {
    std::lock_guard lock(stack().m);
    stack().inFlight.insert(t);
    return 0;
}
int LIBUSB_CALL libusb_cancel_transfer(libusb_transfer* t) {
    std::lock_guard lock(stack().m);
    if (!stack().inFlight.count(t)) return LIBUSB_ERROR_NOT_FOUND;
    stack().cancelled.insert(t);
    return 0;
}
int LIBUSB_CALL libusb_handle_events_timeout_completed(libusb_context*, timeval* tv, int*) {
    std::vector<libusb_transfer*> back;
    {
        std::lock_guard lock(stack().m);
        if (!stack().holdCancelled) {
            back.assign(stack().cancelled.begin(), stack().cancelled.end());
            for (libusb_transfer* t : back) stack().inFlight.erase(t);
            stack().cancelled.clear();
        }
    }
    if (back.empty()) {
        std::this_thread::sleep_for(std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec));
        return 0;
    }
    for (libusb_transfer* t : back) {
        t->status = LIBUSB_TRANSFER_CANCELLED;
        t->actual_length = 0;
        t->callback(t);
    }
    return 0;
}
int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle*, unsigned char, unsigned char*, int, int* actual,
                                     unsigned int) {
    *actual = 0;
    return LIBUSB_ERROR_TIMEOUT;
}
int LIBUSB_CALL libusb_open(libusb_device*, libusb_device_handle**) { return LIBUSB_ERROR_ACCESS; }
void LIBUSB_CALL libusb_close(libusb_device_handle*) {}
int LIBUSB_CALL libusb_get_device_descriptor(libusb_device*, libusb_device_descriptor*) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device*) { return 0; }
uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device*) { return 0; }
int LIBUSB_CALL libusb_get_device_speed(libusb_device*) { return LIBUSB_SPEED_HIGH; }
int LIBUSB_CALL libusb_get_port_numbers(libusb_device*, uint8_t*, int) { return 0; }
int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle*, uint8_t, unsigned char*, int) {
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

}  // extern "C"
