#include "platform/ui/ApplicationStyle.h"

#include <QApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPointer>
#include <QStyleOption>

namespace kv::ui {

namespace {

// An icon of a style, asked of the style the first time it is needed. The
// direction the icon was asked for (which picks the mirrored images for
// right-to-left layouts) is kept for then.
class DeferredStandardIconEngine final : public QIconEngine
{
public:
    DeferredStandardIconEngine(const QStyle *style, QStyle::StandardPixmap which, Qt::LayoutDirection direction)
        : m_style(style), m_which(which), m_direction(direction)
    {}

    // The engine's sizes are device pixels: the icon asked at a pixel ratio of 1.
    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().pixmap(size, 1.0, mode, state);
    }
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        // (QIcon::actualSize would scale by the screen's pixel ratio again.)
        return icon().pixmap(size, 1.0, mode, state).size();
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override
    {
        return icon().availableSizes(mode, state);
    }
    QString iconName() override { return icon().name(); }
    bool isNull() override { return icon().isNull(); }
    QString key() const override { return QStringLiteral("DeferredStandardIconEngine"); }
    QIconEngine *clone() const override { return new DeferredStandardIconEngine(*this); }

private:
    const QIcon &icon()
    {
        if (!m_made) {
            // The style may have gone since (the application's style
            // replaced); the application's style then answers.
            const QStyle *style = m_style ? m_style.data() : QApplication::style();
            QStyleOption option;
            option.direction = m_direction;
            m_icon = style->standardIcon(m_which, &option);
            m_made = true;
        }
        return m_icon;
    }

    QPointer<const QStyle> m_style;
    QStyle::StandardPixmap m_which;
    Qt::LayoutDirection m_direction;
    QIcon m_icon;
    bool m_made = false;
};

} // namespace

ApplicationStyle::ApplicationStyle(QStyle *base) : QProxyStyle(base)
{}

QIcon ApplicationStyle::standardIcon(StandardPixmap standardIcon, const QStyleOption *option,
                                     const QWidget *widget) const
{
    if (standardIcon == SP_ToolBarHorizontalExtensionButton || standardIcon == SP_ToolBarVerticalExtensionButton) {
        // Without an option, the base style mirrors the icon for the
        // application's direction, whatever the widget's.
        const Qt::LayoutDirection direction = option ? option->direction : QGuiApplication::layoutDirection();
        return QIcon(new DeferredStandardIconEngine(baseStyle(), standardIcon, direction));
    }
    return QProxyStyle::standardIcon(standardIcon, option, widget);
}

void installApplicationStyle()
{
    // The proxy takes the current style over; the application then leaves
    // it to the proxy rather than deleting it.
    QApplication::setStyle(new ApplicationStyle(QApplication::style()));
}

} // namespace kv::ui
