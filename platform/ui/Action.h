#pragma once

#include <QObject>
#include <QPointer>

#include <any>
#include <functional>

namespace kv::ui {

// A target/action pair: the action is a member function of the target that
// takes the sender as its one argument, `void Target::name(QObject *sender)`,
// given by pointer, so that an action that does not exist cannot compile.
class Action
{
public:
    void setTarget(QObject *target) { m_target = target; }
    QObject *target() const { return m_target; }

    template<class Target>
    void setMethod(void (Target::*method)(QObject *))
    {
        m_method = method;
        m_call = [method](QObject *target, QObject *sender) {
            auto *receiver = dynamic_cast<Target *>(target);
            if (!receiver)
                return false;
            (receiver->*method)(sender);
            return true;
        };
    }
    // Whether the action is `method`.
    template<class Target>
    bool is(void (Target::*method)(QObject *)) const
    {
        const auto *stored = std::any_cast<void (Target::*)(QObject *)>(&m_method);
        return stored && *stored == method;
    }

    bool isSet() const { return m_target && m_call; }
    // Calls the action at once with `sender`; false when unset or when the
    // target is not of the action's class.
    bool send(QObject *sender) const { return isSet() && m_call(m_target, sender); }

private:
    QPointer<QObject> m_target;
    std::any m_method;
    std::function<bool(QObject *target, QObject *sender)> m_call;
};

} // namespace kv::ui
