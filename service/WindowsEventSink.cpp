#include "WindowsEventSink.h"

#include "ServiceManagerApi.h"

namespace NVL::Engineering::VK {

WindowsEventSink::WindowsEventSink(const ServiceManagerApi &api)
    : m_api(api)
{
}

quint16 WindowsEventSink::entryType(LogType type)
{
    switch (type) {
    case LogType::Error: return Win::EventLogError;
    case LogType::Warning: return Win::EventLogWarning;
    case LogType::Information: return Win::EventLogInformation;
    case LogType::Success: break;
    }
    return Win::EventLogSuccess;
}

void WindowsEventSink::writeEvent(const QString &source, const QString &message, LogType type, quint32 eventId,
                                  quint16 category, const QByteArray &data)
{
    const Win::EventSourceHandle handle =
        m_api.registerEventSource(nullptr, reinterpret_cast<const Win::WChar *>(source.utf16()));
    if (!handle)
        return;
    // The message table's one text is "%1": the entry shows this string as it is.
    const Win::WChar *strings[] = {reinterpret_cast<const Win::WChar *>(message.utf16())};
    QByteArray bytes = data;
    m_api.reportEvent(handle, entryType(type), category, eventId, nullptr, 1, Win::Dword(bytes.size()), strings,
                      bytes.isEmpty() ? nullptr : bytes.data());
    m_api.deregisterEventSource(handle);
}

} // namespace NVL::Engineering::VK
