#ifndef DEVICEFRAME_H
#define DEVICEFRAME_H

#include <QByteArray>
#include <QtGlobal>

// Frames of the boot loader's serial protocol. Pure byte handling, no I/O.
//
//   FE <len> 4D <cmd> <payload: len bytes> <check>
//
// The check byte is the XOR of everything between the start byte and itself.
namespace DeviceFrame
{

constexpr unsigned char StartByte = 0xFE;
constexpr unsigned char TypeByte = 0x4D;

constexpr int BlockDataSize = 64;
constexpr int BlockFrameSize = 71; // FE 42 4D 01 lo hi <64 data> check
constexpr int BlockDataOffset = 6;
constexpr int BlockAddressStep = 16; // the address counts 4-byte units
constexpr int MaxBlocks = 0x10000 / BlockAddressStep;

constexpr int ReplySize = 6;

// XOR of `size` bytes.
unsigned char checkByte(const unsigned char *bytes, int size);

QByteArray startFrame();
QByteArray prepareFrame();
QByteArray endFrame();

// Writes the fixed head and the little-endian block address into a
// BlockFrameSize buffer; the data bytes are left to the caller.
void fillBlockHead(unsigned char *frame, quint16 address);
// Computes the block frame's check byte over bytes 1..69 and stores it last.
void sealBlockFrame(unsigned char *frame);
// Whole block frame from an address and 64 data bytes.
QByteArray blockFrame(quint16 address, const unsigned char *data);

} // namespace DeviceFrame

#endif
