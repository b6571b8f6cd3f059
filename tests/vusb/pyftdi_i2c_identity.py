#!/usr/bin/env python3
"""pyftdi's I2C controller on the virtual board, through pyusb.

A generic FTDI client that knows nothing of this program lists the board by
its URL, opens channel A as a 200 kHz I2C master and reads the
demodulator's identity: register 0xF100 of the chip at 0xD4 (7-bit 0x6A),
the 16-bit register address written high byte first, then a repeated start
and a one-byte read. The bus is told by VESPER_VUSB_OPTIONS, as for the
program.

usage: pyftdi_i2c_identity.py LIBVESPER_VUSB.so
"""
import sys



def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    stand_in = sys.argv[1]
    try:
        import usb.backend.libusb1
        import usb.core
        from pyftdi.ftdi import Ftdi
        from pyftdi.i2c import I2cController, I2cNackError
    except ImportError as e:
        print(f"pyftdi and pyusb are needed (Debian python3-ftdi, python3-usb): {e}")
        return 1

    # pyusb loads the stand-in as its libusb-1.0. Its libusb1 backend keeps
    # the first library it loaded, so pyftdi, which asks for the backend by
    # itself, gets this one too.
    backend = usb.backend.libusb1.get_backend(find_library=lambda _name: stand_in)
    if backend is None:
        print(f"pyusb could not load {stand_in} as libusb-1.0")
        return 1

    boards = list(usb.core.find(find_all=True, idVendor=0x0403, idProduct=0x6010, backend=backend))
    if len(boards) != 1:
        print(f"expected one FT2232H on the bus, found {len(boards)}")
        return 1
    board = boards[0]
    print(f"found {board.manufacturer} / {board.product} / {board.serial_number}")
    if (board.manufacturer, board.product, board.serial_number) != ("FTDI", "Dual RS232-HS", "VB2232H1"):
        return 1
    # Listing needs the string descriptors and their language IDs.
    listed = [(d.sn, d.description, interfaces) for d, interfaces in Ftdi.list_devices()]
    print("pyftdi lists:", listed)
    if listed != [("VB2232H1", "Dual RS232-HS", 2)]:
        return 1

    i2c = I2cController()
    try:
        i2c.configure("ftdi://ftdi:2232h:VB2232H1/1", frequency=200000)
        demodulator = i2c.get_port(0x6A)
        identity = demodulator.exchange(b"\xF1\x00", 1)[0]
        print(f"demodulator 0xD4, register 0xF100 = 0x{identity:02X}")
        if identity != 0x20:
            return 1
        # Nothing answers at 0xA0: the slave's silence is a NACK, not a hang.
        try:
            i2c.get_port(0x50).exchange(b"\x00", 1)
            print("an absent slave at 0xA0 acknowledged")
            return 1
        except I2cNackError:
            print("absent slave at 0xA0: NACK")
    finally:
        i2c.terminate()
    return 0


if __name__ == "__main__":
    sys.exit(main())
