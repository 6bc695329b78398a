#include "classcomp/asio/aasio.h"
#include "classcomp/asio/com_server.h"
#include "classcomp/common/class_ids.h"

#include <array>
#include <cstring>

namespace orvo::asio {

namespace {

constexpr com::CLSID toClsid(const classcomp::ClassId& id)
{
    com::CLSID c{};
    c.Data1 = id.data1;
    c.Data2 = id.data2;
    c.Data3 = id.data3;
    for (int i = 0; i < 8; ++i)
        c.Data4[i] = id.data4[i];
    return c;
}

constexpr std::array<com::CLSID, kFactoryTemplateCount> makeClassIds()
{
    static_assert(kFactoryTemplateCount == classcomp::kDeviceSlotCount);
    std::array<com::CLSID, kFactoryTemplateCount> out{};
    for (size_t i = 0; i < kFactoryTemplateCount; ++i)
        out[i] = toClsid(classcomp::kClassIds[i]);
    return out;
}

constexpr std::array<com::CLSID, kFactoryTemplateCount> kClsids = makeClassIds();

std::array<CFactoryTemplate, kFactoryTemplateCount> makeTemplates()
{
    std::array<CFactoryTemplate, kFactoryTemplateCount> out{};
    for (size_t i = 0; i < kFactoryTemplateCount; ++i)
        out[i] = {u"ORVOASIO", &kClsids[i], &AAsio::CreateInstance};
    return out;
}

} // namespace

const CFactoryTemplate* FactoryTemplates()
{
    static const std::array<CFactoryTemplate, kFactoryTemplateCount> table = makeTemplates();
    return table.data();
}

} // namespace orvo::asio
