// Result codes, interface identifiers, the interfaces' slot order and the
// brace form of identifiers.

#include "platform/com/com.h"
#include "platform/com/guid_string.h"

#include "vtable_slot.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace com;

TEST(Com, PublishedValues)
{
    EXPECT_EQ(S_OK, 0);
    EXPECT_EQ(S_FALSE, 1);
    EXPECT_EQ(static_cast<uint32_t>(E_NOINTERFACE), 0x80004002u);
    EXPECT_EQ(static_cast<uint32_t>(E_POINTER), 0x80004003u);
    EXPECT_EQ(static_cast<uint32_t>(E_OUTOFMEMORY), 0x8007000Eu);
    EXPECT_EQ(static_cast<uint32_t>(CLASS_E_NOAGGREGATION), 0x80040110u);
    EXPECT_EQ(static_cast<uint32_t>(CLASS_E_CLASSNOTAVAILABLE), 0x80040111u);
    EXPECT_TRUE(FAILED(E_POINTER));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));

    CLSID id;
    ASSERT_EQ(CLSIDFromString(u"{00000000-0000-0000-C000-000000000046}", &id), S_OK);
    EXPECT_EQ(id, IID_IUnknown);
    ASSERT_EQ(CLSIDFromString(u"{00000001-0000-0000-c000-000000000046}", &id), S_OK);
    EXPECT_EQ(id, IID_IClassFactory);
}

TEST(Com, InterfaceSlotsInPublishedOrder)
{
    EXPECT_EQ(vtableSlot(&IUnknown::QueryInterface), 0);
    EXPECT_EQ(vtableSlot(&IUnknown::AddRef), 1);
    EXPECT_EQ(vtableSlot(&IUnknown::Release), 2);
    EXPECT_EQ(vtableSlot(&IClassFactory::CreateInstance), 3);
    EXPECT_EQ(vtableSlot(&IClassFactory::LockServer), 4);
}

TEST(Com, BraceFormParsing)
{
    const GUID expected{0xC52D6938, 0xED3E, 0x485E, {0xA3, 0x6A, 0x5D, 0x7F, 0x9B, 0x39, 0xC1, 0x85}};
    struct Case {
        const char16_t* text;
        HRESULT result;
    } cases[] = {
        {u"{C52D6938-ED3E-485E-A36A-5D7F9B39C185}", S_OK},
        {u"{c52d6938-ed3e-485e-a36a-5d7f9b39c185}", S_OK},
        {u"C52D6938-ED3E-485E-A36A-5D7F9B39C185", CO_E_CLASSSTRING},
        {u"{C52D6938-ED3E-485E-A36A-5D7F9B39C185", CO_E_CLASSSTRING},
        {u"{C52D6938-ED3E-485E-A36A5D7F9B39C185-}", CO_E_CLASSSTRING},
        {u"{C52D6938-ED3E-485E-A36A-5D7F9B39C18G}", CO_E_CLASSSTRING},
        {u"{C52D6938-ED3E-485E-A36A-5D7F9B39C185} ", CO_E_CLASSSTRING},
        {u"", CO_E_CLASSSTRING},
    };
    for (const Case& c : cases) {
        CLSID id{1};
        EXPECT_EQ(CLSIDFromString(c.text, &id), c.result) << std::string(c.text, c.text + 1);
        EXPECT_EQ(id, c.result == S_OK ? expected : GUID_NULL) << "a refused text leaves the null identifier";
    }
    CLSID id{1};
    EXPECT_EQ(CLSIDFromString(nullptr, &id), S_OK);
    EXPECT_EQ(id, GUID_NULL);
    EXPECT_EQ(CLSIDFromString(u"{C52D6938-ED3E-485E-A36A-5D7F9B39C185}", nullptr), E_INVALIDARG);
}

TEST(Com, BraceFormWriting)
{
    const GUID id{0xC52D6938, 0xED3E, 0x485E, {0xA3, 0x6A, 0x5D, 0x7F, 0x9B, 0x39, 0xC1, 0x85}};
    char16_t text[39];
    ASSERT_EQ(StringFromGUID2(id, text, 39), 39);
    EXPECT_EQ(std::u16string(text), u"{C52D6938-ED3E-485E-A36A-5D7F9B39C185}");
    EXPECT_EQ(StringFromGUID2(id, text, 38), 0);
    GUID back;
    ASSERT_EQ(CLSIDFromString(text, &back), S_OK);
    EXPECT_EQ(back, id);
}

} // namespace
