// The MPSSE commands and pins both I2C engines drive channel A with, and
// the bus timing they keep alike, so that the bytes on the bus are the same
// whichever engine sends them.
#pragma once

#include <cstdint>

namespace i2c::mpsse {

// Low GPIO byte: ADBUS0 is SCL, ADBUS1 drives SDA, ADBUS4 is GPIOL0.
inline constexpr std::uint8_t PinSCL = 0x01;
inline constexpr std::uint8_t PinSDA = 0x02;
inline constexpr std::uint8_t PinGPIOL0 = 0x10;

// Direction bytes: the master drives SCL and SDA; SDA released for the
// slave; both lines released to the pull-ups.
inline constexpr std::uint8_t DirDriveBoth = 0x13;
inline constexpr std::uint8_t DirReleaseSDA = 0x11;
inline constexpr std::uint8_t DirReleaseBoth = 0x10;

// Opcodes.
inline constexpr std::uint8_t SetLowByte = 0x80;
inline constexpr std::uint8_t SetHighByte = 0x82;
inline constexpr std::uint8_t SetDivisor = 0x86;
inline constexpr std::uint8_t BytesOut = 0x11;
inline constexpr std::uint8_t BitsOut = 0x13;
inline constexpr std::uint8_t BytesIn = 0x25;
inline constexpr std::uint8_t BitsIn = 0x27;
inline constexpr std::uint8_t SendImmediate = 0x87;
inline constexpr std::uint8_t ClockBytesOnly = 0x8F;  // n x 8 clocks, no data
inline constexpr std::uint8_t DisableDivideBy5 = 0x8A;
inline constexpr std::uint8_t DisableAdaptiveClock = 0x97;
inline constexpr std::uint8_t DisableThreePhase = 0x8D;
inline constexpr std::uint8_t LoopbackOff = 0x85;
inline constexpr std::uint8_t BadCommandEcho = 0xFA;

// Each line is held for four pin writes around a start or stop edge so the
// bus sees its set-up and hold times at any clock divisor.
inline constexpr int EdgeRepeats = 4;

// Settling times of the demodulator's repeater, in microseconds, and the
// attempts of a tuner transaction behind it (and, byte by byte, the tries
// of each byte within one).
inline constexpr std::uint32_t RepeaterOnBeforeWriteUs = 1000;
inline constexpr std::uint32_t RepeaterOnBeforeReadUs = 100;
inline constexpr std::uint32_t RepeaterOffUs = 100;
inline constexpr int TunerAttempts = 11;
inline constexpr int TunerTries = 11;

}  // namespace i2c::mpsse
