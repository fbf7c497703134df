#pragma once

#include <QStringList>
#include <QtGlobal>

// Records every "Could not parse ..." style sheet warning Qt prints while the object lives, then passes
// the message on to the handler that was installed before (Qt Test's). One at a time per process.
class StyleSheetWarnings
{
public:
    StyleSheetWarnings();
    ~StyleSheetWarnings();
    StyleSheetWarnings(const StyleSheetWarnings &) = delete;
    StyleSheetWarnings &operator=(const StyleSheetWarnings &) = delete;

    QStringList messages() const;
    void clear();
};
