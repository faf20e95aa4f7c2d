#include "UpdateHandler.h"

UpdateHandler::UpdateHandler(QObject *parent)
    : QObject(parent)
{
}

QString UpdateHandler::debugText() const
{
    return m_debugText;
}

void UpdateHandler::setDebugText(const QString &debugText)
{
    if (debugText == m_debugText)
        return;
    m_debugText = debugText;
    Q_EMIT debugTextChanged(m_debugText);
}

void UpdateHandler::checkUpdate()
{
}

void UpdateHandler::startUpdate()
{
}
