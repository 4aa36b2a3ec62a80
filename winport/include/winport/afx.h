// The framework classes that the library's interface uses, for every build without MFC
// (Linux and mingw): CString and the collection arrays CStringArray, CDWordArray and
// CPtrArray, with the members that the library and its callers use.
//
// Out-of-range access throws, as MFC does, a heap-allocated CInvalidArgException through
// AfxThrowInvalidArgException(); the catcher owns it and releases it with Delete():
//
//     try { ... } catch (CInvalidArgException* e) { e->Delete(); }
//
// Header-only. Include <winport/winport.h>, which includes this header on every target.
#ifndef WINPORT_AFX_H
#define WINPORT_AFX_H

#include <winport/winport.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

// The exception crosses module boundaries (thrown inside the library, caught by its caller),
// so its type information must be the same type in every module.
#if defined(_WIN32)
#define WINPORT_AFX_EXCEPTION_VISIBLE
#else
#define WINPORT_AFX_EXCEPTION_VISIBLE __attribute__((visibility("default")))
#endif

class WINPORT_AFX_EXCEPTION_VISIBLE CException {
public:
    virtual ~CException() {}
    // Releases an exception that was thrown by pointer.
    void Delete() { delete this; }
    // The exception's description, cut to fit; FALSE when there is none.
    virtual BOOL GetErrorMessage(LPSTR text, UINT capacity, UINT* help_context = nullptr) const
    {
        if (help_context)
            *help_context = 0;
        if (text && capacity > 0)
            text[0] = '\0';
        return FALSE;
    }

protected:
    CException() {}
};

class WINPORT_AFX_EXCEPTION_VISIBLE CSimpleException : public CException {};

class WINPORT_AFX_EXCEPTION_VISIBLE CInvalidArgException : public CSimpleException {
public:
    BOOL GetErrorMessage(LPSTR text, UINT capacity, UINT* help_context = nullptr) const override
    {
        if (help_context)
            *help_context = 0;
        if (!text || capacity == 0)
            return FALSE;
        std::snprintf(text, capacity, "%s", "Invalid argument.");
        return TRUE;
    }
};

[[noreturn]] inline void AfxThrowInvalidArgException()
{
    throw new CInvalidArgException;
}

// A narrow string with value semantics. Never null: a CString made from a null pointer is
// empty.
class CString {
public:
    CString() {}
    CString(const char* text) : s_(text ? text : "") {}
    CString(const char* text, int length)
        : s_(text && length > 0 ? std::string(text, static_cast<size_t>(length)) : std::string())
    {
    }
    CString(const std::string& text) : s_(text) {}

    int GetLength() const { return static_cast<int>(s_.size()); }
    bool IsEmpty() const { return s_.empty(); }
    void Empty() { s_.clear(); }
    const char* GetString() const { return s_.c_str(); }
    operator const char*() const { return s_.c_str(); }

    char GetAt(int index) const
    {
        if (index < 0 || index >= GetLength())
            AfxThrowInvalidArgException();
        return s_[static_cast<size_t>(index)];
    }
    void SetAt(int index, char ch)
    {
        if (index < 0 || index >= GetLength())
            AfxThrowInvalidArgException();
        s_[static_cast<size_t>(index)] = ch;
    }
    char operator[](int index) const { return GetAt(index); }

    CString& operator=(const char* text)
    {
        s_ = text ? text : "";
        return *this;
    }
    CString& operator+=(const CString& other)
    {
        s_ += other.s_;
        return *this;
    }
    CString& operator+=(const char* text)
    {
        if (text)
            s_ += text;
        return *this;
    }
    CString& operator+=(char ch)
    {
        s_ += ch;
        return *this;
    }

    int Compare(const char* other) const { return std::strcmp(GetString(), other ? other : ""); }
    int CompareNoCase(const char* other) const
    {
        const unsigned char* a = reinterpret_cast<const unsigned char*>(GetString());
        const unsigned char* b = reinterpret_cast<const unsigned char*>(other ? other : "");
        for (;; ++a, ++b) {
            int ca = lower(*a), cb = lower(*b);
            if (ca != cb || ca == 0)
                return ca - cb;
        }
    }

    // printf-style formatting; replaces the contents.
    void Format(const char* format, ...)
    {
        va_list args;
        va_start(args, format);
        FormatV(format, args);
        va_end(args);
    }
    void FormatV(const char* format, va_list args)
    {
        va_list again;
        va_copy(again, args);
        int n = std::vsnprintf(nullptr, 0, format, args);
        if (n < 0) {
            va_end(again);
            AfxThrowInvalidArgException();
        }
        std::string out(static_cast<size_t>(n) + 1, '\0');
        std::vsnprintf(&out[0], out.size(), format, again);
        va_end(again);
        out.resize(static_cast<size_t>(n));
        s_ = std::move(out);
    }

    // Direct writing: GetBuffer gives room for at least min_length characters plus a
    // terminator; ReleaseBuffer(-1) takes the text up to its first zero.
    char* GetBuffer(int min_length = 0)
    {
        if (min_length < 0)
            AfxThrowInvalidArgException();
        if (s_.size() < static_cast<size_t>(min_length))
            s_.resize(static_cast<size_t>(min_length));
        return &s_[0];
    }
    void ReleaseBuffer(int new_length = -1)
    {
        if (new_length < 0)
            s_.resize(std::strlen(s_.c_str()));
        else if (static_cast<size_t>(new_length) <= s_.size())
            s_.resize(static_cast<size_t>(new_length));
        else
            AfxThrowInvalidArgException();
    }

    friend bool operator==(const CString& a, const CString& b) { return a.s_ == b.s_; }
    friend bool operator==(const CString& a, const char* b) { return a.Compare(b) == 0; }
    friend bool operator==(const char* a, const CString& b) { return b.Compare(a) == 0; }
    friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }
    friend bool operator!=(const CString& a, const char* b) { return !(a == b); }
    friend bool operator!=(const char* a, const CString& b) { return !(a == b); }
    friend bool operator<(const CString& a, const CString& b) { return a.s_ < b.s_; }
    friend CString operator+(CString a, const CString& b) { return a += b; }
    friend CString operator+(CString a, const char* b) { return a += b; }
    friend CString operator+(const char* a, const CString& b) { return CString(a) += b; }

private:
    static int lower(int c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }
    std::string s_;
};

namespace winport_afx {

// The common body of the collection arrays: a growable array indexed by INT_PTR whose every
// access is bounds-checked. New elements are value-initialised (zero, null, empty).
template <typename T, typename Arg>
class array {
public:
    INT_PTR GetSize() const { return static_cast<INT_PTR>(v_.size()); }
    INT_PTR GetCount() const { return GetSize(); }
    INT_PTR GetUpperBound() const { return GetSize() - 1; }
    bool IsEmpty() const { return v_.empty(); }

    // grow_by is the framework's allocation hint; growth here is the vector's own.
    void SetSize(INT_PTR new_size, INT_PTR grow_by = -1)
    {
        (void)grow_by;
        if (new_size < 0)
            AfxThrowInvalidArgException();
        v_.resize(static_cast<size_t>(new_size));
    }
    void RemoveAll() { v_.clear(); }

    const T& GetAt(INT_PTR index) const { return v_[checked(index)]; }
    void SetAt(INT_PTR index, Arg element) { v_[checked(index)] = element; }
    T& ElementAt(INT_PTR index) { return v_[checked(index)]; }
    const T& ElementAt(INT_PTR index) const { return v_[checked(index)]; }
    T& operator[](INT_PTR index) { return ElementAt(index); }
    const T& operator[](INT_PTR index) const { return GetAt(index); }
    // Null while the array is empty, as the framework's.
    T* GetData() { return v_.empty() ? nullptr : v_.data(); }
    const T* GetData() const { return v_.empty() ? nullptr : v_.data(); }

    INT_PTR Add(Arg element)
    {
        v_.push_back(element);
        return GetSize() - 1;
    }
    // Sets the element, growing the array when the index lies beyond its end.
    void SetAtGrow(INT_PTR index, Arg element)
    {
        if (index < 0)
            AfxThrowInvalidArgException();
        T copy(element);  // element may refer into the array, which growing moves
        if (static_cast<size_t>(index) >= v_.size())
            v_.resize(static_cast<size_t>(index) + 1);
        v_[static_cast<size_t>(index)] = std::move(copy);
    }
    // Inserts count copies before index; an index at or beyond the end grows the array first.
    void InsertAt(INT_PTR index, Arg element, INT_PTR count = 1)
    {
        if (index < 0 || count <= 0)
            AfxThrowInvalidArgException();
        if (static_cast<size_t>(index) > v_.size())
            v_.resize(static_cast<size_t>(index));
        T copy(element);  // element may refer into the array itself
        v_.insert(v_.begin() + index, static_cast<size_t>(count), copy);
    }
    void RemoveAt(INT_PTR index, INT_PTR count = 1)
    {
        if (index < 0 || count < 0 || count > GetSize() - index)
            AfxThrowInvalidArgException();
        v_.erase(v_.begin() + index, v_.begin() + index + count);
    }
    // Appends the elements of another array; the index of the first one appended.
    INT_PTR Append(const array& other)
    {
        INT_PTR first = GetSize();
        v_.insert(v_.end(), other.v_.begin(), other.v_.end());
        return first;
    }
    void Copy(const array& other) { v_ = other.v_; }

private:
    size_t checked(INT_PTR index) const
    {
        if (index < 0 || index >= GetSize())
            AfxThrowInvalidArgException();
        return static_cast<size_t>(index);
    }
    std::vector<T> v_;
};

}  // namespace winport_afx

class CStringArray : public winport_afx::array<CString, const char*> {};
class CDWordArray : public winport_afx::array<DWORD, DWORD> {};
class CPtrArray : public winport_afx::array<void*, void*> {};

#endif
