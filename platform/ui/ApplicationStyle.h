#pragma once

#include <QProxyStyle>

namespace kv::ui {

// The application's style: the platform's own, except that the icons of the
// menu bar's and toolbars' extension buttons ("more items") are made when
// first drawn or measured rather than when the bar is made. Those buttons
// show only when a bar is too narrow for its items; making their icons at
// once reads the style's images through Qt's format detection, which loads
// and asks every image-format plug-in (and the libraries behind them) before
// the first window is shown. Everything else is the base style's.
class ApplicationStyle : public QProxyStyle
{
    Q_OBJECT
public:
    // Wraps `base` (taking it over), or the platform's default style when null.
    explicit ApplicationStyle(QStyle *base = nullptr);

    QIcon standardIcon(StandardPixmap standardIcon, const QStyleOption *option = nullptr,
                       const QWidget *widget = nullptr) const override;
};

// Makes an ApplicationStyle around the application's current style the
// application's style. Call once the application object exists, before the
// first widget.
void installApplicationStyle();

} // namespace kv::ui
