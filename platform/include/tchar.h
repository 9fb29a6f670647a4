// Generic-text mappings of the C runtime for ANSI programs: _TCHAR, _T and the _tcs*
// and _t* names of the string and I/O routines a serial program uses. Published
// names. This platform offers the ANSI interface only.
#pragma once

#ifdef _UNICODE
#error "tchar.h: this platform offers the ANSI interface only; build without _UNICODE"
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

typedef char _TCHAR;
typedef char _TSCHAR;
typedef unsigned char _TUCHAR;
typedef char _TXCHAR;
typedef int _TINT;

#define _T(x)     x
#define _TEXT(x)  x
#define _TEOF     EOF

#define _tmain    main
#define _tcslen   strlen
#define _tcscpy   strcpy
#define _tcsncpy  strncpy
#define _tcscat   strcat
#define _tcsncat  strncat
#define _tcscmp   strcmp
#define _tcsncmp  strncmp
#define _tcsicmp  strcasecmp
#define _tcsnicmp strncasecmp
#define _tcschr   strchr
#define _tcsrchr  strrchr
#define _tcsstr   strstr
#define _tcsdup   strdup
#define _tcstol   strtol
#define _tcstoul  strtoul
#define _ttoi     atoi
#define _tprintf  printf
#define _ftprintf fprintf
#define _stprintf sprintf
#define _sntprintf snprintf
#define _vsntprintf vsnprintf
#define _tfopen   fopen
