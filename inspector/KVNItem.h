#pragma once

// One node of the value tree shown in the main window's outline view: the root
// item stands for the whole selected value, and below it there is one item per
// dictionary entry and per array element, down to the scalars. Children are
// made a level at a time, the first time something asks an item for them, and
// kept for the item's lifetime.
//
// Items borrow their values: the whole value belongs to the controller's
// selectedKeyContents, and every item points at that value or a part of it.
// The value's shared data never changes, so the pointers stay valid while the
// controller holds the value; the controller replaces the tree (setRootItem)
// in the same operation in which it replaces the value.

#include "platform/plist/PropertyListValue.h"

#include <QString>

#include <memory>
#include <vector>

class KVNItem
{
public:
    // The item's children. Items live in one contiguous block per container:
    // the list is filled once and never changes afterwards, so pointers to
    // its elements stay valid for the parent's lifetime.
    using ChildList = std::vector<KVNItem>;

    // name: the key-column text; value: the value the item stands for (null
    // for none); parent: the container the value was found in (null for the
    // root). Neither value is owned.
    KVNItem(QString name, const kv::PropertyListValue *value, const kv::PropertyListValue *parent);
    ~KVNItem();
    KVNItem(KVNItem &&) noexcept;
    KVNItem &operator=(KVNItem &&) noexcept;
    KVNItem(const KVNItem &) = delete;
    KVNItem &operator=(const KVNItem &) = delete;

    // --- The class-wide root ------------------------------------------------
    // The value shown at the top of the tree (borrowed), null while none.
    static const kv::PropertyListValue *root;
    // Sets the root value (null, or a pointer to a none value, for no value)
    // and drops the cached root item together with the tree below it.
    static void setRootItem(const kv::PropertyListValue *value);
    // The cached root item, made on first request ("Root", the root value).
    // Always returns an item; it stays valid until the next releaseRootItem()
    // or setRootItem().
    static KVNItem *rootItem();
    // Destroys the cached root item and every item below it. Does nothing
    // when no root item is cached.
    static void releaseRootItem();
    // True while a root item is cached (for checks).
    static bool hasCachedRootItem();

    // --- Fields ------------------------------------------------------------
    QString itemName;
    const kv::PropertyListValue *itemValue = nullptr;
    const kv::PropertyListValue *itemParent = nullptr;

    // --- Operations --------------------------------------------------------
    // The children, built on the first call: a list (possibly empty) for a
    // dictionary or an array, null for anything else or no value.
    const ChildList *children();
    // The value-column text: the entry count of a container, the description
    // of a scalar; a null QString when the item has no value.
    QString value();
    // itemName while a root value is set, "" otherwise.
    QString name() const;
    // "Dictionary", "Array", "String", "Number" (booleans included), "Data",
    // "Date"; "" for no value.
    QString objectType() const;
    // Child `index` (0 <= index < numberOfChildren()); null out of range.
    KVNItem *childAtIndex(int index);
    // -1 when the item cannot have children, otherwise the number of children
    // (0 for an empty dictionary or array).
    int numberOfChildren();

    // True once children() has been computed (list or no children).
    bool childrenBuilt() const { return m_state != ChildrenState::NotBuilt; }

private:
    enum class ChildrenState : unsigned char { NotBuilt, List, NoChildren };

    bool hasValue() const { return itemValue && !itemValue->isNone(); }
    void buildChildren();

    ChildrenState m_state = ChildrenState::NotBuilt;
    ChildList m_children;

    static std::unique_ptr<KVNItem> s_rootItem;
};
