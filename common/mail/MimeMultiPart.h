#pragma once

#include "MimePart.h"

#include <QList>

namespace NVL::Engineering::VK {

// A part made of parts. The contained parts belong to the caller.
class MimeMultiPart : public MimePart
{
    Q_OBJECT

public:
    enum MultiPartKind : int {
        Mixed = 0,
        Digest = 1,
        Alternative = 2,
        Related = 3,
        Report = 4,
        Signed = 5,
        Encrypted = 6
    };
    Q_ENUM(MultiPartKind)

    explicit MimeMultiPart(MultiPartKind kind = Related, QObject *parent = nullptr);

    void addPart(MimePart *part);
    const QList<MimePart *> &getParts() const;
    MultiPartKind getKind() const;

    void prepare() override;

protected:
    QStringList contentTypeParameters() const override;

private:
    QList<MimePart *> m_parts;
    MultiPartKind m_kind;
};

} // namespace NVL::Engineering::VK
