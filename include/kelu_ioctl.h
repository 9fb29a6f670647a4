// Private requests of the kelu control device "\\.\KeluControl" and their records,
// shared by the driver and the library. Include <ntddk.h> (driver) or <windows.h> with
// <winioctl.h> (library) first: both define CTL_CODE.
//
// Port numbers in these requests are zero-based (0 is COM1). Every request is
// METHOD_BUFFERED: input and output share one system buffer.
#pragma once

#ifndef CTL_CODE
#error "include <ntddk.h> or <winioctl.h> before kelu_ioctl.h"
#endif

#define FILE_DEVICE_KELU 0x8300U // unsigned: the codes have the top bit set

#define KELU_CTL_CODE(function) CTL_CODE(FILE_DEVICE_KELU, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)

// In: ULONG port A, ULONG port B.
#define IOCTL_KELU_CONNECT_PORTS        KELU_CTL_CODE(0x830) // 0x830020C0
#define IOCTL_KELU_DISCONNECT_PORTS     KELU_CTL_CODE(0x831) // 0x830020C4
// Out: 256 bytes, the partner of each port or 0xFF.
#define IOCTL_KELU_GET_CONNECTION_MAP   KELU_CTL_CODE(0x832) // 0x830020C8
// In: KELU_MODEM_REGISTERS.
#define IOCTL_KELU_SET_MODEMREGISTERS   KELU_CTL_CODE(0x833) // 0x830020CC
// In: ULONG port. Out: KELU_MODEM_REGISTERS.
#define IOCTL_KELU_GET_MODEMREGISTERS   KELU_CTL_CODE(0x834) // 0x830020D0
// In: ULONG port. Out: KELU_SETTINGS_REPLY.
#define IOCTL_KELU_GET_SETTINGS         KELU_CTL_CODE(0x835) // 0x830020D4
// In: ULONG port. Out: one byte taken from the port's transmit ring.
#define IOCTL_KELU_READ_FROM_PORT       KELU_CTL_CODE(0x836) // 0x830020D8
// In: ULONG, bits 0-7 the port, bits 24-31 the byte to put into its receive ring.
#define IOCTL_KELU_WRITE_TO_PORT        KELU_CTL_CODE(0x837) // 0x830020DC
// In: ULONG port (low 8 bits).
#define IOCTL_KELU_INIT_EVENTS          KELU_CTL_CODE(0x838) // 0x830020E0
// In: ULONG port (low 8 bits). Out: ULONG 1 or 0.
#define IOCTL_KELU_IS_PORT_OPENED       KELU_CTL_CODE(0x839) // 0x830020E4
// In: ULONG port (low 8 bits). Out: ULONG bytes waiting in the transmit ring.
#define IOCTL_KELU_GET_NUMBYTESINBUFFER KELU_CTL_CODE(0x83A) // 0x830020E8
// In: ULONG port (low 8 bits), ULONG answer (an NTSTATUS).
#define IOCTL_KELU_CONFIRM_PORT_OPENING KELU_CTL_CODE(0x83B) // 0x830020EC
// In: ULONG, bits 0-7 the port, bit 31 KELU_CONFIRMATION_REQUIRED.
#define IOCTL_KELU_SET_CONFIRMATION     KELU_CTL_CODE(0x83C) // 0x830020F0

#define KELU_CONFIRMATION_REQUIRED 0x80000000UL
#define KELU_WRITE_TO_PORT_BYTE_SHIFT 24

// Handshake lines of one port. Status: 0x10 CTS, 0x20 DSR, 0x40 RI, 0x80 DCD, and in a
// reply also the change bits 0x01 CTS, 0x02 DSR, 0x04 RI, 0x08 DCD. Control: 0x01 DTR,
// 0x02 RTS.
typedef struct _KELU_MODEM_REGISTERS {
    ULONG ulPortNumber;
    ULONG ulModemStatus;
    ULONG ulModemControl;
} KELU_MODEM_REGISTERS, *PKELU_MODEM_REGISTERS;

// A port's settings as IOCTL_KELU_GET_SETTINGS returns them. The reserved bytes are
// not written by the driver.
typedef struct _KELU_SETTINGS_REPLY {
    ULONG ulPortNumber;
    ULONG ulReserved1;
    ULONG ulBaudRate;
    UCHAR EofChar;
    UCHAR ErrorChar;
    UCHAR BreakChar;
    UCHAR EventChar;
    UCHAR XonChar;
    UCHAR XoffChar;
    UCHAR WordLength;
    UCHAR StopBits;
    UCHAR Parity;
    UCHAR Reserved2[3];
    ULONG ControlHandShake;
    ULONG FlowReplace;
    LONG XonLimit;
    LONG XoffLimit;
    ULONG ulFifoControl;
} KELU_SETTINGS_REPLY, *PKELU_SETTINGS_REPLY;

#ifdef __cplusplus
static_assert(sizeof(KELU_MODEM_REGISTERS) == 12, "KELU_MODEM_REGISTERS is 12 bytes");
static_assert(sizeof(KELU_SETTINGS_REPLY) == 44, "KELU_SETTINGS_REPLY is 44 bytes");
#endif
