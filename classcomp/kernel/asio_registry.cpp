// The ASIO driver entry and the COM class entry of a device, written when it
// enters the working state. Every key is volatile: the class keys, which are
// not deleted at D0 exit, go at the next restart of the system.

#include "classcomp/kernel/asio_registry.h"

#include "platform/kernel/kernel_registry.h"
#include "platform/kernel/kernel_services.h"
#include "platform/kernel/level.h"

#include <string>

namespace orvo::kernel {

namespace {

using namespace kplat;

constexpr char16_t kAsioRoot[] = u"\\Registry\\Machine\\Software\\ASIO";
constexpr char16_t kAsioPrefix[] = u"\\Registry\\Machine\\Software\\ASIO\\";
constexpr char16_t kClassPrefix[] = u"\\Registry\\Machine\\Software\\Classes\\CLSID\\";
constexpr char16_t kInprocServer[] = u"\\InprocServer32";
constexpr char16_t kServerPath[] = u"%SystemRoot%\\System32\\OrvoUac2Asio.dll";
constexpr char16_t kApartment[] = u"Apartment";
// The driver's key path buffer holds 255 characters.
constexpr size_t kMaxPath = 255;

// String data with its terminating zero; the size counts it.
void setString(KeyHandle key, std::u16string_view name, uint32_t type, std::u16string_view text)
{
    const std::u16string data(text);
    setValueKey(key, name, type, data.c_str(), static_cast<uint32_t>((data.size() + 1) * sizeof(char16_t)));
}

void setDword(KeyHandle key, std::u16string_view name, uint32_t value)
{
    setValueKey(key, name, kRegDword, &value, sizeof value);
}

// A counted name as the context holds it, up to its terminating zero.
std::u16string_view counted(const char16_t* text, uint32_t bytes)
{
    if (!text || bytes < sizeof(char16_t))
        return {};
    std::u16string_view s(text, bytes / sizeof(char16_t) - 1);
    return s.substr(0, s.find(u'\0'));
}

bool asioKeyPath(const DeviceContext* context, std::u16string& path)
{
    const std::u16string_view product = counted(context->productName, context->productNameBytes);
    path = kAsioPrefix;
    path += product;
    // A name that would not fit the path buffer is not cut to another key's name.
    return !product.empty() && path.size() <= kMaxPath;
}

uint16_t descriptorWord(const DeviceContext* context, size_t offset)
{
    return static_cast<uint16_t>(context->deviceDescriptor[offset] | context->deviceDescriptor[offset + 1] << 8);
}

} // namespace

void WriteAsioRegistryEntries(DeviceContext* context)
{
    if (currentLevel() != Level::Passive)
        return;
    createRegistryKeyAbsolute(kAsioRoot);

    std::u16string path;
    if (!asioKeyPath(context, path))
        return;
    std::u16string classId, interfaceId;
    if (failed(guidToString(context->classId, classId)) || failed(guidToString(context->interfaceGuid, interfaceId)))
        return;

    KeyHandle key = nullptr;
    if (failed(createKey(path, KeyOptions::Volatile, &key)))
        return;
    setString(key, u"CLSID", kRegSz, classId);
    setString(key, u"Description", kRegSz, counted(context->productName, context->productNameBytes));
    setString(key, u"SerialNumber", kRegSz, counted(context->serialNumber, context->serialNumberBytes));
    setDword(key, u"VID", descriptorWord(context, 8));
    setDword(key, u"PID", descriptorWord(context, 10));
    setString(key, u"KernelInterface", kRegSz, interfaceId);
    closeKey(key);

    const std::u16string classPath = kClassPrefix + classId;
    if (failed(createKey(classPath, KeyOptions::Volatile, &key)))
        return;
    setString(key, u"", kRegSz, counted(context->productName, context->productNameBytes));
    closeKey(key);

    if (failed(createKey(classPath + kInprocServer, KeyOptions::Volatile, &key)))
        return;
    setString(key, u"ThreadingModel", kRegSz, kApartment);
    setString(key, u"", kRegExpandSz, kServerPath);
    closeKey(key);
}

void DeleteAsioRegistryEntries(DeviceContext* context)
{
    if (currentLevel() != Level::Passive)
        return;
    std::u16string path;
    if (!asioKeyPath(context, path))
        return;
    KeyHandle key = nullptr;
    if (failed(openKey(path, &key)))
        return;
    deleteKey(key);
    closeKey(key);
}

} // namespace orvo::kernel
