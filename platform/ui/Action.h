#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>

namespace kv::ui {

// A target/action pair: the action is the name of an invokable method of the
// target that takes the sender as its one argument, `void name(QObject *sender)`.
struct Action
{
    QPointer<QObject> target;
    QByteArray name;

    bool isSet() const { return target && !name.isEmpty(); }
    // Calls the action at once with `sender`; false when unset or not found.
    bool send(QObject *sender) const
    {
        if (!isSet())
            return false;
        return QMetaObject::invokeMethod(target, name.constData(), Qt::DirectConnection, Q_ARG(QObject *, sender));
    }
};

} // namespace kv::ui
