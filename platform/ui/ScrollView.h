#pragma once

// The scroll view around a text viewer, and its clip view: what part of the
// text is visible. A TextViewer scrolls itself, so these are handles onto it
// that answer the scroll-view questions.

#include "platform/ui/TextViewer.h"

#include <QObject>
#include <QPointer>
#include <QRectF>

namespace kv::ui {

class ClipView
{
public:
    explicit ClipView(const TextViewer *document) : m_document(document) {}
    // The visible part of the document, in the document's coordinates (y
    // grows downwards from the top of the text).
    QRectF documentVisibleRect() const { return m_document ? m_document->documentVisibleRect() : QRectF(); }

private:
    const TextViewer *m_document;
};

class ScrollView : public QObject
{
    Q_OBJECT
public:
    explicit ScrollView(TextViewer *documentView, QObject *parent = nullptr)
        : QObject(parent), m_documentView(documentView)
    {}
    TextViewer *documentView() const { return m_documentView; }
    ClipView contentView() const { return ClipView(m_documentView); }

private:
    QPointer<TextViewer> m_documentView;
};

} // namespace kv::ui
