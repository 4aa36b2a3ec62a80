// The framework's string and array classes: bounds-checked access throws the framework's
// invalid-argument exception by pointer; everything else behaves as a growable array.
#include <winport/winport.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

// Whether the call throws CInvalidArgException* (and releases it as a catcher must).
bool throws_invalid_arg(const std::function<void()>& call)
{
    try {
        call();
    } catch (CInvalidArgException* e) {
        char text[64];
        EXPECT_TRUE(e->GetErrorMessage(text, sizeof text));
        e->Delete();
        return true;
    }
    return false;
}

TEST(Afx, OutOfRangeAccess_ThrowsInvalidArg)
{
    CDWordArray a;
    a.Add(1);
    a.Add(2);
    const CDWordArray& c = a;
    struct {
        const char* what;
        std::function<void()> call;
    } cases[] = {
        {"GetAt(-1)", [&] { c.GetAt(-1); }},
        {"GetAt(size)", [&] { c.GetAt(2); }},
        {"operator[](size)", [&] { a[2] = 0; }},
        {"ElementAt(size)", [&] { a.ElementAt(2); }},
        {"SetAt(size)", [&] { a.SetAt(2, 0); }},
        {"SetSize(-1)", [&] { a.SetSize(-1); }},
        {"RemoveAt past the end", [&] { a.RemoveAt(1, 2); }},
        {"RemoveAt(-1)", [&] { a.RemoveAt(-1); }},
        {"InsertAt(-1)", [&] { a.InsertAt(-1, 0); }},
        {"InsertAt count 0", [&] { a.InsertAt(0, 0, 0); }},
        {"SetAtGrow(-1)", [&] { a.SetAtGrow(-1, 0); }},
        {"CString::GetAt(length)", [] { CString("ab").GetAt(2); }},
    };
    for (const auto& t : cases)
        EXPECT_TRUE(throws_invalid_arg(t.call)) << t.what;
    ASSERT_EQ(a.GetSize(), 2);
    EXPECT_EQ(a[0], 1u);
    EXPECT_EQ(a[1], 2u);
}

TEST(Afx, Arrays_GrowInsertAndRemove)
{
    CPtrArray p;
    EXPECT_EQ(p.GetData(), nullptr);
    p.SetSize(3);
    EXPECT_EQ(p.GetCount(), 3);
    EXPECT_EQ(p[2], nullptr) << "new elements are null";

    CStringArray s;
    s.InsertAt(2, "x");  // beyond the end: grows first
    ASSERT_EQ(s.GetSize(), 3);
    EXPECT_TRUE(s[0].IsEmpty());
    EXPECT_STREQ(s[2], "x");
    s.InsertAt(0, s[2], 2);  // an element of the array itself
    ASSERT_EQ(s.GetSize(), 5);
    EXPECT_STREQ(s[0], "x");
    EXPECT_STREQ(s[1], "x");
    s.SetAtGrow(9, s[0]);
    EXPECT_EQ(s.GetSize(), 10);
    EXPECT_STREQ(s[9], "x");
    s.RemoveAt(1, 9);
    ASSERT_EQ(s.GetSize(), 1);
    EXPECT_EQ(s.GetUpperBound(), 0);
    s.RemoveAll();
    EXPECT_TRUE(s.IsEmpty());
}

TEST(Afx, CString_BuffersAndFormatting)
{
    CString s;
    s.Format("%s=%d", "n", 31);
    EXPECT_STREQ(s, "n=31");
    std::strcpy(s.GetBuffer(10), "abc");
    s.ReleaseBuffer();
    EXPECT_EQ(s.GetLength(), 3);
    EXPECT_EQ(CString(nullptr), "");
    EXPECT_LT(CString("ABC").CompareNoCase("abd"), 0);
    EXPECT_EQ(CString("ABC").CompareNoCase("abc"), 0);
}

}  // namespace
