/* Generic-text names: _T() and _tmain map to the narrow or the wide forms
 * as _UNICODE is defined. */
#ifndef VODREK_WIN32_TCHAR_H
#define VODREK_WIN32_TCHAR_H

#ifdef _UNICODE
#define _T(x) L##x
#define _TEXT(x) L##x
typedef wchar_t _TCHAR;
#else
#define _T(x) x
#define _TEXT(x) x
typedef char _TCHAR;
#define _tmain main
#define _tprintf printf
#define _ftprintf fprintf
#define _stprintf sprintf
#define _tcslen strlen
#define _tcscpy strcpy
#define _tcscmp strcmp
#endif

#endif /* VODREK_WIN32_TCHAR_H */
