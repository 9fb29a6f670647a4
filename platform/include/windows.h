// The Win32 programming interface of the emulated platform (kernel32's part that
// applications and the library call): files and devices, overlapped I/O, events,
// waits, Sleep and the thread's last error, time, messages and string conversion,
// and the comm API. The registry (<winreg.h>) and the service control manager
// (<winsvc.h>) come with it, as with Windows' own windows.h. Published names and
// values; C and C++ alike.
//
// Everything acts for the calling thread's process on the running machine; the
// first call of a process without one boots the embedded machine.
//
// Without UNICODE the generic names (CreateFile, CreateEvent, ...) are the -A forms;
// the -W forms are not offered, so a UNICODE build fails at compile time.
#pragma once

#include <ntdef.h>
#include <stdarg.h>

#define ANYSIZE_ARRAY 1

typedef void *LPVOID;
typedef const void *LPCVOID;

// Characters of the generic (TCHAR) interface: ANSI unless UNICODE is defined.
#ifndef UNICODE
typedef char TCHAR, *PTCHAR;
typedef LPSTR PTSTR, LPTSTR;
typedef LPCSTR PCTSTR, LPCTSTR;
#define TEXT(quote) quote
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// The record of one overlapped request. While the request runs, Internal and
// InternalHigh are its IO_STATUS_BLOCK: the status (STATUS_PENDING until it
// completes) and the number of bytes transferred.
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;  // set when the request completes; optional
} OVERLAPPED, *LPOVERLAPPED;

// Access rights (the same values the kernel uses).
#define SYNCHRONIZE              0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define GENERIC_READ             0x80000000L
#define GENERIC_WRITE            0x40000000L
#define GENERIC_EXECUTE          0x20000000L
#define GENERIC_ALL              0x10000000L
#define EVENT_MODIFY_STATE       0x0002
#define EVENT_ALL_ACCESS         (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)

// CreateFileA: share modes, dispositions, attributes and flags.
#define FILE_SHARE_READ        0x00000001
#define FILE_SHARE_WRITE       0x00000002
#define FILE_SHARE_DELETE      0x00000004
#define CREATE_NEW             1
#define CREATE_ALWAYS          2
#define OPEN_EXISTING          3
#define OPEN_ALWAYS            4
#define TRUNCATE_EXISTING      5
#define FILE_ATTRIBUTE_NORMAL  0x00000080
#define FILE_FLAG_OVERLAPPED   0x40000000

// Waits.
#define INFINITE             0xFFFFFFFF
#define WAIT_OBJECT_0        0x00000000L
#define WAIT_ABANDONED_0     0x00000080L
#define WAIT_TIMEOUT         0x00000102L
#define WAIT_FAILED          ((DWORD)0xFFFFFFFF)
#define MAXIMUM_WAIT_OBJECTS 64

// TRUE once an overlapped request has completed: Internal leaves STATUS_PENDING.
#define HasOverlappedIoCompleted(lpOverlapped) \
    ((DWORD)(lpOverlapped)->Internal != (DWORD)0x00000103L)


// Last-error values.
#define ERROR_SUCCESS                    0L
#define NO_ERROR                         0L
#define ERROR_INVALID_FUNCTION           1L
#define ERROR_FILE_NOT_FOUND             2L
#define ERROR_PATH_NOT_FOUND             3L
#define ERROR_ACCESS_DENIED              5L
#define ERROR_INVALID_HANDLE             6L
#define ERROR_NOT_ENOUGH_MEMORY          8L
#define ERROR_INVALID_DATA               13L
#define ERROR_NOT_READY                  21L
#define ERROR_WRITE_FAULT                29L
#define ERROR_READ_FAULT                 30L
#define ERROR_BAD_COMMAND                22L
#define ERROR_GEN_FAILURE                31L
#define ERROR_SHARING_VIOLATION          32L
#define ERROR_NOT_SUPPORTED              50L
#define ERROR_DEV_NOT_EXIST              55L
#define ERROR_INVALID_PARAMETER          87L
#define ERROR_CALL_NOT_IMPLEMENTED       120L
#define ERROR_SEM_TIMEOUT                121L
#define ERROR_INSUFFICIENT_BUFFER        122L
#define ERROR_INVALID_NAME               123L
#define ERROR_BAD_PATHNAME               161L
#define ERROR_BUSY                       170L
#define ERROR_ALREADY_EXISTS             183L
#define ERROR_MORE_DATA                  234L
#define ERROR_NO_UNICODE_TRANSLATION     1113L
#define ERROR_RESOURCE_LANG_NOT_FOUND    1815L
#define ERROR_NO_MORE_ITEMS              259L
#define ERROR_MR_MID_NOT_FOUND           317L
#define ERROR_OPERATION_ABORTED          995L
#define ERROR_IO_INCOMPLETE              996L
#define ERROR_IO_PENDING                 997L
#define ERROR_NOACCESS                   998L
#define ERROR_SERVICE_MARKED_FOR_DELETE  1072L
#define ERROR_SERVICE_EXISTS             1073L
#define ERROR_DEVICE_NOT_CONNECTED       1167L
#define ERROR_NO_SYSTEM_RESOURCES        1450L

EXTERN_C_START

// Opens a device. "\\.\Name" and "\\?\Name" name the device link \??\Name; a
// bare "COM1" to "COM9" names \??\COMn. Any disposition is accepted for a device.
// FILE_FLAG_OVERLAPPED gives a handle whose I/O is overlapped. A second open of an
// exclusive device fails with ERROR_ACCESS_DENIED. Failure: INVALID_HANDLE_VALUE and
// the last error.
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// Closes any handle of the process. A file's last handle sends the driver
// IRP_MJ_CLEANUP, its last reference IRP_MJ_CLOSE.
BOOL WINAPI CloseHandle(HANDLE hObject);

// Read, write and device control. Without OVERLAPPED (or on a handle opened without
// FILE_FLAG_OVERLAPPED) the call returns when the request is complete. With
// OVERLAPPED on an overlapped handle, a request the driver pends returns FALSE with
// ERROR_IO_PENDING; GetOverlappedResult collects it. A request that ends with a
// warning status fails with its mapped error and still reports its bytes.
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
// The result of an overlapped request. Still pending: with bWait it waits (on
// hEvent, or on the file when there is none), without it fails with
// ERROR_IO_INCOMPLETE.
BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
// Cancels the calling thread's pending requests on the file; they complete with
// ERROR_OPERATION_ABORTED.
BOOL WINAPI CancelIo(HANDLE hFile);
// Waits until every byte written through the handle has left the device (for a serial
// port: reached the partner), whether the handle is overlapped or not.
BOOL WINAPI FlushFileBuffers(HANDLE hFile);

// Events. A named event lives under \BaseNamedObjects. Creating a name that exists
// opens the existing event and sets the last error to ERROR_ALREADY_EXISTS.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName);
HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);

// Waits on an event or a file for up to dwMilliseconds of the machine's clock:
// WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with the last error.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// Waits on 1 to MAXIMUM_WAIT_OBJECTS handles. Wait-any returns WAIT_OBJECT_0 + the
// lowest index signalled; wait-all returns WAIT_OBJECT_0 once every object is
// signalled at the same moment, and only then consumes the auto-reset ones. A bad
// count or handle: WAIT_FAILED with the last error, and nothing is consumed.
DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds);
// Sleeps on the machine's clock.
VOID WINAPI Sleep(DWORD dwMilliseconds);

// The calling thread's last error.
DWORD WINAPI GetLastError(VOID);
VOID WINAPI SetLastError(DWORD dwErrCode);

// Time on the machine's clock: milliseconds since boot (wrapping after 49.7 days),
// and a counter of 100 ns ticks whose frequency is 10 MHz. They never fail for a
// valid pointer; a null one fails with ERROR_NOACCESS.
DWORD WINAPI GetTickCount(VOID);
BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount);
BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency);

EXTERN_C_END

#ifndef UNICODE
#define CreateFile  CreateFileA
#define CreateEvent CreateEventA
#define OpenEvent   OpenEventA
#endif

// ---- Critical sections ----
// A lock among the threads of one process; its owner may enter it again and leaves
// it as often. It lives in the process's memory alone, apart from the machine. Here
// LockSemaphore carries the platform's own lock; the other fields are not used.
typedef struct _RTL_CRITICAL_SECTION {
    PVOID DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    ULONG_PTR SpinCount;
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

EXTERN_C_START

VOID WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
VOID WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
VOID WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
VOID WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

EXTERN_C_END

// ---- Files, the system directory and local memory (used by setup programs) ----
// Paths: "C:\..." is the machine's own disk, kept in its state directory; the
// system directory is C:\WINDOWS\system32. "Z:\..." and "/..." name files of the
// host, so that a package directory anywhere on the host can be read.

#define MAX_PATH 260

#define ERROR_FILE_EXISTS            80L
#define ERROR_SERVICE_DOES_NOT_EXIST 1060L

#define FILE_ATTRIBUTE_READONLY  0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010

typedef void *HWND;
typedef HANDLE HLOCAL;

#define LMEM_FIXED    0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR          (LMEM_FIXED | LMEM_ZEROINIT)

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *PWIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

EXTERN_C_START

// Copies "C:\WINDOWS\system32" into the buffer and returns its length; when the
// buffer is too small, returns the size needed (with the terminating zero).
UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
// The first file matching the pattern (wildcards * and ? in its last component).
// No match: INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND (ERROR_PATH_NOT_FOUND when
// the directory is missing). The search handle is closed with FindClose.
HANDLE WINAPI FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
BOOL WINAPI FindClose(HANDLE hFindFile);
// Copies a file; with bFailIfExists an existing target fails with ERROR_FILE_EXISTS.
// The target's directory must exist.
BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists);
// Local memory: LMEM_FIXED blocks, zero-filled with LMEM_ZEROINIT. LocalFree returns
// NULL on success and the block itself when it is not one of LocalAlloc's.
HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL WINAPI LocalFree(HLOCAL hMem);

EXTERN_C_END

#ifndef UNICODE
typedef WIN32_FIND_DATAA WIN32_FIND_DATA, *PWIN32_FIND_DATA, *LPWIN32_FIND_DATA;
#define GetSystemDirectory GetSystemDirectoryA
#define FindFirstFile      FindFirstFileA
#define CopyFile           CopyFileA
#endif

// ---- Messages: the text of a Win32 error ----

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS  0x00000200
#define FORMAT_MESSAGE_FROM_STRING     0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE    0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM     0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY  0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK  0x000000FF

#define LANG_NEUTRAL    0x00
#define LANG_ENGLISH    0x09
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define PRIMARYLANGID(lgid) ((WORD)(lgid) & 0x3ff)
#define SUBLANGID(lgid) ((WORD)(lgid) >> 10)

EXTERN_C_START

// FORMAT_MESSAGE_FROM_SYSTEM only (with IGNORE_INSERTS or not; the system texts have
// no inserts): the error's text in English, ending in "\r\n", as Windows words it.
// Language 0, LANG_NEUTRAL and English are accepted; another language fails with
// ERROR_RESOURCE_LANG_NOT_FOUND. With FORMAT_MESSAGE_ALLOCATE_BUFFER lpBuffer
// receives a LocalAlloc block (freed with LocalFree) and nSize is the least size;
// otherwise the text and its zero must fit nSize characters (ERROR_INSUFFICIENT_BUFFER).
// An error the system has no text for: ERROR_MR_MID_NOT_FOUND. Returns the length
// without the zero, or 0 with the last error.
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                            DWORD dwLanguageId, LPSTR lpBuffer, DWORD nSize, va_list *Arguments);

EXTERN_C_END

#ifndef UNICODE
#define FormatMessage FormatMessageA
#endif

// ---- Strings: conversion between UTF-16 and the ANSI code page ----
// The ANSI code page of this machine is UTF-8 (CP_ACP, CP_OEMCP, CP_THREAD_ACP and
// CP_UTF8 all mean it); CP_ACP text that is plain ASCII converts as on any Windows.

#define CP_ACP        0
#define CP_OEMCP      1
#define CP_THREAD_ACP 3
#define CP_UTF8       65001

#define MB_PRECOMPOSED        0x00000001
#define MB_ERR_INVALID_CHARS  0x00000008
#define WC_NO_BEST_FIT_CHARS  0x00000400
#define WC_ERR_INVALID_CHARS  0x00000080

#define ERROR_INVALID_FLAGS 1004L

EXTERN_C_START

// cbMultiByte / cchWideChar -1: the input is zero-terminated and the zero is converted
// too. An output size of 0 asks for the size needed. Output too small:
// ERROR_INSUFFICIENT_BUFFER. Invalid input is replaced by U+FFFD (or "?" towards the
// code page) unless MB_ERR_INVALID_CHARS / WC_ERR_INVALID_CHARS ask for
// ERROR_NO_UNICODE_TRANSLATION. Returns the count written (or needed), 0 on failure.
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                               int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                               int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                               LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar);

EXTERN_C_END

// min and max, as Windows defines them for C. C++ has std::min and std::max, which a
// macro would break, so there they are left out (as NOMINMAX does on Windows).
#if !defined(__cplusplus) && !defined(NOMINMAX)
#ifndef min
#define min(a, b) (((a) < (b)) ? (a) : (b))
#endif
#ifndef max
#define max(a, b) (((a) > (b)) ? (a) : (b))
#endif
#endif

// ---- Serial communications: the comm API on a serial port's handle ----
// Each call sends the port the standard serial device control requests, as Windows
// does, and works on overlapped and synchronous handles alike (only WaitCommEvent
// takes an OVERLAPPED). Failure: FALSE with the last error mapped from the driver's
// status.

// DCB.fDtrControl and DCB.fRtsControl.
#define DTR_CONTROL_DISABLE   0x0
#define DTR_CONTROL_ENABLE    0x1
#define DTR_CONTROL_HANDSHAKE 0x2
#define RTS_CONTROL_DISABLE   0x0
#define RTS_CONTROL_ENABLE    0x1
#define RTS_CONTROL_HANDSHAKE 0x2
#define RTS_CONTROL_TOGGLE    0x3

// DCB.Parity and DCB.StopBits.
#define NOPARITY     0
#define ODDPARITY    1
#define EVENPARITY   2
#define MARKPARITY   3
#define SPACEPARITY  4
#define ONESTOPBIT   0
#define ONE5STOPBITS 1
#define TWOSTOPBITS  2

#define CBR_110    110
#define CBR_300    300
#define CBR_600    600
#define CBR_1200   1200
#define CBR_2400   2400
#define CBR_4800   4800
#define CBR_9600   9600
#define CBR_14400  14400
#define CBR_19200  19200
#define CBR_38400  38400
#define CBR_57600  57600
#define CBR_115200 115200
#define CBR_128000 128000
#define CBR_256000 256000

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMMPROP {
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    WCHAR wcProvChar[1];
} COMMPROP, *LPCOMMPROP;

typedef struct _COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

// SetCommMask, WaitCommEvent.
#define EV_RXCHAR   0x0001
#define EV_RXFLAG   0x0002
#define EV_TXEMPTY  0x0004
#define EV_CTS      0x0008
#define EV_DSR      0x0010
#define EV_RLSD     0x0020
#define EV_BREAK    0x0040
#define EV_ERR      0x0080
#define EV_RING     0x0100
#define EV_PERR     0x0200
#define EV_RX80FULL 0x0400
#define EV_EVENT1   0x0800
#define EV_EVENT2   0x1000

// EscapeCommFunction.
#define SETXOFF  1
#define SETXON   2
#define SETRTS   3
#define CLRRTS   4
#define SETDTR   5
#define CLRDTR   6
#define RESETDEV 7
#define SETBREAK 8
#define CLRBREAK 9

// GetCommModemStatus.
#define MS_CTS_ON  0x0010
#define MS_DSR_ON  0x0020
#define MS_RING_ON 0x0040
#define MS_RLSD_ON 0x0080

// PurgeComm.
#define PURGE_TXABORT 0x0001
#define PURGE_RXABORT 0x0002
#define PURGE_TXCLEAR 0x0004
#define PURGE_RXCLEAR 0x0008

// ClearCommError.
#define CE_RXOVER   0x0001
#define CE_OVERRUN  0x0002
#define CE_RXPARITY 0x0004
#define CE_FRAME    0x0008
#define CE_BREAK    0x0010

EXTERN_C_START

// GetCommState reads the baud rate, line control, special characters and handflow;
// SetCommState sends them (with the DTR and RTS lines the DCB asks for) and, when a
// request fails, puts back the settings it read first.
BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB);
// Fills a DCB from a mode string: "baud=9600 parity=N data=8 stop=1 ..." or the short
// form "9600,n,8,1". Fields the string does not name keep their values.
BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB);
BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask);
BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
// With an OVERLAPPED on an overlapped handle a wait that pends returns FALSE with
// ERROR_IO_PENDING; *lpEvtMask is written when it completes.
BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags);
BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp);
// Break on and off: the port's IOCTL_SERIAL_SET_BREAK_ON and _OFF, as
// EscapeCommFunction's SETBREAK and CLRBREAK.
BOOL WINAPI SetCommBreak(HANDLE hFile);
BOOL WINAPI ClearCommBreak(HANDLE hFile);
// Sends one character ahead of any pending output: IOCTL_SERIAL_IMMEDIATE_CHAR.
BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar);

EXTERN_C_END

#ifndef UNICODE
#define BuildCommDCB BuildCommDCBA
#endif

#include <winreg.h>
#include <winsvc.h>
