// Counted UTF-16 strings and memory comparison.
#include <wdm.h>

#include "ustring.h"

namespace {

USHORT CharsIn(PCUNICODE_STRING string) { return string->Length / sizeof(WCHAR); }

// Adds a terminating zero after the text when the buffer has room for it.
void TerminateIfRoom(PUNICODE_STRING string) {
    if (string->Length + sizeof(WCHAR) <= string->MaximumLength)
        string->Buffer[CharsIn(string)] = 0;
}

NTSTATUS Append(PUNICODE_STRING destination, const WCHAR *source, size_t bytes) {
    if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    memmove(destination->Buffer + CharsIn(destination), source, bytes);
    destination->Length = USHORT(destination->Length + bytes);
    TerminateIfRoom(destination);
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length) {
    auto *a = static_cast<const UCHAR *>(Source1);
    auto *b = static_cast<const UCHAR *>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = WideView(SourceString).size() * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC;
    DestinationString->Length = USHORT(bytes);
    DestinationString->MaximumLength = USHORT(bytes + sizeof(WCHAR));
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength
                       ? SourceString->Length
                       : USHORT(DestinationString->MaximumLength & ~1u);
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    TerminateIfRoom(DestinationString);
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (Source == nullptr || Source->Length == 0) return STATUS_SUCCESS;
    return Append(Destination, Source->Buffer, Source->Length);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) return STATUS_SUCCESS;
    return Append(Destination, Source, WideView(Source).size() * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    char16_t digits[33];
    int count = 0;
    do {
        ULONG digit = Value % Base;
        digits[count++] = char16_t(digit < 10 ? u'0' + digit : u'A' + digit - 10);
        Value /= Base;
    } while (Value != 0);
    size_t bytes = size_t(count) * sizeof(WCHAR);
    // Windows needs room for the terminating zero as well.
    if (bytes + sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < count; ++i) String->Buffer[i] = WCHAR(digits[count - 1 - i]);
    String->Buffer[count] = 0;
    String->Length = USHORT(bytes);
    return STATUS_SUCCESS;
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
    std::u16string_view a = UnicodeView(String1), b = UnicodeView(String2);
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        char16_t x = CaseInSensitive ? FoldCase(a[i]) : a[i];
        char16_t y = CaseInSensitive ? FoldCase(b[i]) : b[i];
        if (x != y) return LONG(x) - LONG(y);
    }
    return LONG(a.size()) - LONG(b.size());
}

BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

}  // extern "C"
