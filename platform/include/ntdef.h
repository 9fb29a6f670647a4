// Base types shared by the kernel-mode and user-mode headers of the emulated
// platform. Widths follow 32-bit Windows: ULONG, LONG and NTSTATUS are 32 bits
// even on LP64 Linux; pointer-sized integers follow the host pointer.
//
// Every platform header compiles as C (C99 and later) and as C++, as Windows' own
// do: declarations sit between EXTERN_C_START and EXTERN_C_END, and types, macros and
// inline helpers use only what both languages share.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define NTAPI
#define WINAPI
#define CALLBACK
#define FASTCALL
#define DECLSPEC_NORETURN __attribute__((noreturn))
#define IN
#define OUT
#define OPTIONAL
#define VOID void
#define CONST const

#ifdef __cplusplus
#define EXTERN_C extern "C"
#define EXTERN_C_START extern "C" {
#define EXTERN_C_END }
#else
#define EXTERN_C extern
#define EXTERN_C_START
#define EXTERN_C_END
#endif

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

typedef void *PVOID;
typedef char CHAR, CCHAR;
typedef CHAR *PCHAR, *PSTR, *LPSTR;
typedef const CHAR *PCSTR, *LPCSTR;
typedef unsigned char UCHAR, BYTE, BOOLEAN;
typedef UCHAR *PUCHAR, *PBYTE, *LPBYTE, *PBOOLEAN;
typedef short SHORT, CSHORT;
typedef unsigned short USHORT, WORD;
typedef USHORT *PUSHORT, *PWORD;
typedef int32_t LONG, INT;
typedef LONG *PLONG, *LPLONG;
typedef uint32_t ULONG, DWORD, UINT;
typedef ULONG *PULONG, *PDWORD, *LPDWORD;
typedef int BOOL;
typedef BOOL *PBOOL, *LPBOOL;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t LONG_PTR, INT_PTR;
typedef uintptr_t ULONG_PTR, UINT_PTR, SIZE_T, DWORD_PTR;
typedef ULONG_PTR *PULONG_PTR, *PSIZE_T;
// WCHAR is a 16-bit unsigned code unit in every language mode, as on Windows.
// Driver images are compiled with -fshort-wchar so that L"..." literals are UTF-16;
// the platform itself keeps the host's wchar_t and uses char16_t (u"..."); C without
// -fshort-wchar gets the plain 16-bit integer. All three have the same layout.
#if __SIZEOF_WCHAR_T__ == 2
typedef wchar_t WCHAR;
#elif defined(__cplusplus)
typedef char16_t WCHAR;
#else
typedef unsigned short WCHAR;
#endif
typedef WCHAR *PWCHAR, *PWSTR, *LPWSTR;
typedef const WCHAR *PCWSTR, *LPCWSTR;
typedef void *HANDLE;
typedef HANDLE *PHANDLE;
typedef ULONG ACCESS_MASK;
typedef LONG NTSTATUS;
typedef NTSTATUS *PNTSTATUS;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _UNICODE_STRING {
    USHORT Length;        // bytes, without a terminating zero
    USHORT MaximumLength; // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID *LPCGUID;
// Every DEFINE_GUID defines its GUID, so no translation unit has to include
// <initguid.h> first: an inline constant in C++, an internal constant in C.
#ifdef __cplusplus
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    static const GUID name __attribute__((unused)) = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#endif

#define MAXULONG 0xFFFFFFFFu
#define MAXDWORD 0xFFFFFFFFu
#define MAXLONG 0x7FFFFFFF

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define UNREFERENCED_PARAMETER(P) ((void)(P))
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
    ((type *)((PCHAR)(address) - offsetof(type, field)))

// Object attributes, as the kernel's object-creating routines take them.
#define OBJ_INHERIT          0x00000002L
#define OBJ_PERMANENT        0x00000010L
#define OBJ_EXCLUSIVE        0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF           0x00000080L
#define OBJ_KERNEL_HANDLE    0x00000200L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                            \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);    \
        (p)->RootDirectory = (r);                   \
        (p)->Attributes = (a);                      \
        (p)->ObjectName = (n);                      \
        (p)->SecurityDescriptor = (s);              \
        (p)->SecurityQualityOfService = NULL;       \
    } while (0)

typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

// Interlocked operations on 32-bit and pointer-sized values: full barriers, as on
// Windows. Kernel and user mode share them, so they live with the base types.
static inline LONG InterlockedIncrement(LONG volatile *Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedDecrement(LONG volatile *Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchange(LONG volatile *Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchangeAdd(LONG volatile *Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedCompareExchange(LONG volatile *Destination, LONG Exchange,
                                              LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, 0, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
static inline PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
static inline PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination,
                                                      PVOID Exchange, PVOID Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, 0, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}
