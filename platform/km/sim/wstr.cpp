// The platform's 16-bit wide-string routines, for the host build.
#include <wdm.h>

#include <string>

extern "C" {

size_t km_wcslen(const WCHAR* s)
{
    size_t n = 0;
    while (s[n] != 0)
        n++;
    return n;
}

WCHAR* km_wcscpy(WCHAR* d, const WCHAR* s)
{
    WCHAR* r = d;
    while ((*d++ = *s++) != 0) {
    }
    return r;
}

WCHAR* km_wcscat(WCHAR* d, const WCHAR* s)
{
    km_wcscpy(d + km_wcslen(d), s);
    return d;
}

WCHAR* km_wcsncpy(WCHAR* d, const WCHAR* s, size_t n)
{
    size_t i = 0;
    for (; i < n && s[i] != 0; i++)
        d[i] = s[i];
    for (; i < n; i++)
        d[i] = 0;
    return d;
}

int km_wcsncmp(const WCHAR* a, const WCHAR* b, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        if (a[i] != b[i])
            return a[i] < b[i] ? -1 : 1;
        if (a[i] == 0)
            return 0;
    }
    return 0;
}

int km_wcscmp(const WCHAR* a, const WCHAR* b)
{
    return km_wcsncmp(a, b, (size_t)-1);
}

WCHAR* km_wcschr(const WCHAR* s, WCHAR c)
{
    for (;; s++) {
        if (*s == c)
            return (WCHAR*)s;
        if (*s == 0)
            return NULL;
    }
}

WCHAR* km_wcsrchr(const WCHAR* s, WCHAR c)
{
    const WCHAR* hit = NULL;
    for (;; s++) {
        if (*s == c)
            hit = s;
        if (*s == 0)
            return (WCHAR*)hit;
    }
}

// Formats one conversion with the C library's narrow printf and widens it:
// the output of numeric conversions is ASCII.
static void AppendNarrow(std::u16string& out, const char* text)
{
    for (const char* p = text; *p; p++)
        out.push_back((char16_t)(unsigned char)*p);
}

int km_vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list args)
{
    std::u16string out;
    for (const WCHAR* f = format; *f; f++) {
        if (*f != L'%') {
            out.push_back((char16_t)*f);
            continue;
        }
        std::string spec = "%";
        f++;
        while (*f == L'-' || *f == L'0' || *f == L' ' || *f == L'+' || *f == L'#')
            spec.push_back((char)*f++);
        int width = -1, precision = -1;
        if (*f == L'*') {
            width = va_arg(args, int);
            f++;
        } else {
            while (*f >= L'0' && *f <= L'9')
                spec.push_back((char)*f++);
        }
        if (*f == L'.') {
            spec.push_back('.');
            f++;
            if (*f == L'*') {
                precision = va_arg(args, int);
                f++;
                spec += std::to_string(precision);
            } else {
                while (*f >= L'0' && *f <= L'9')
                    spec.push_back((char)*f++);
            }
        }
        if (width >= 0)
            spec.insert(1, std::to_string(width));
        bool wide = true, longArg = false;
        if (*f == L'h') {
            wide = false;
            f++;
        } else if (*f == L'w') {
            wide = true;
            f++;
        } else if (*f == L'l') {
            longArg = true;
            f++;
        }
        WCHAR conv = *f;
        char tmp[128];
        switch (conv) {
        case L'%':
            out.push_back(u'%');
            break;
        case L'd':
        case L'i':
            spec.push_back('d');
            snprintf(tmp, sizeof tmp, spec.c_str(),
                     longArg ? (int)va_arg(args, long) : va_arg(args, int));
            AppendNarrow(out, tmp);
            break;
        case L'u':
        case L'x':
        case L'X':
            spec.push_back((char)conv);
            snprintf(tmp, sizeof tmp, spec.c_str(),
                     longArg ? (unsigned)va_arg(args, unsigned long) : va_arg(args, unsigned));
            AppendNarrow(out, tmp);
            break;
        case L'c':
            out.push_back((char16_t)va_arg(args, int));
            break;
        case L'S':
            wide = false;
            /* fall through */
        case L's': {
            std::u16string arg;
            if (wide) {
                const WCHAR* s = va_arg(args, const WCHAR*);
                if (s == NULL)
                    s = L"(null)";
                for (; *s; s++)
                    arg.push_back((char16_t)*s);
            } else {
                const char* s = va_arg(args, const char*);
                if (s == NULL)
                    s = "(null)";
                AppendNarrow(arg, s);
            }
            // apply precision and width on the wide text
            std::string flags = spec.substr(1);
            bool left = flags.find('-') != std::string::npos;
            size_t dot = flags.find('.');
            std::string wpart = flags.substr(0, dot);
            while (!wpart.empty() && (wpart[0] < '0' || wpart[0] > '9' || wpart[0] == '0'))
                wpart.erase(0, 1);
            size_t w = wpart.empty() ? 0 : (size_t)std::stoul(wpart);
            if (dot != std::string::npos) {
                size_t p = (size_t)std::stoul("0" + flags.substr(dot + 1));
                if (arg.size() > p)
                    arg.resize(p);
            }
            if (arg.size() < w) {
                std::u16string pad(w - arg.size(), u' ');
                arg = left ? arg + pad : pad + arg;
            }
            out += arg;
            break;
        }
        default:
            // unknown conversion: copy it through
            out.push_back(u'%');
            if (conv)
                out.push_back((char16_t)conv);
            else
                f--;
            break;
        }
    }
    if (count == (size_t)-1) {
        for (size_t i = 0; i < out.size(); i++)
            buffer[i] = (WCHAR)out[i];
        buffer[out.size()] = 0;
        return (int)out.size();
    }
    if (count == 0)
        return -1;
    size_t n = out.size() < count ? out.size() : count;
    for (size_t i = 0; i < n; i++)
        buffer[i] = (WCHAR)out[i];
    if (out.size() < count) {
        buffer[out.size()] = 0;
        return (int)out.size();
    }
    return -1; // truncated, not terminated: the platform's _snwprintf behaviour
}

int km_snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    int n = km_vsnwprintf(buffer, count, format, args);
    va_end(args);
    return n;
}

int km_swprintf(WCHAR* buffer, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    int n = km_vsnwprintf(buffer, (size_t)-1, format, args);
    va_end(args);
    return n;
}
}
