#include "HandlerThread.h"

namespace NVL::Engineering::VK {

HandlerThread::HandlerThread(std::function<void()> body, QObject *parent)
    : QThread(parent)
    , m_body(std::move(body))
{
}

void HandlerThread::run()
{
    m_body();
}

} // namespace NVL::Engineering::VK
