#include "inspector/KVNItem.h"

const kv::PropertyListValue *KVNItem::root = nullptr;
std::unique_ptr<KVNItem> KVNItem::s_rootItem;

KVNItem::KVNItem(QString name, const kv::PropertyListValue *value, const kv::PropertyListValue *parent)
    : itemName(std::move(name)), itemValue(value), itemParent(parent)
{}

// Destruction releases the children (through m_children) and the name; it
// never reads the borrowed values.
KVNItem::~KVNItem() = default;
KVNItem::KVNItem(KVNItem &&) noexcept = default;
KVNItem &KVNItem::operator=(KVNItem &&) noexcept = default;

void KVNItem::setRootItem(const kv::PropertyListValue *value)
{
    // Drop the old tree first: its items point into the previous value.
    s_rootItem.reset();
    root = (value && !value->isNone()) ? value : nullptr;
}

KVNItem *KVNItem::rootItem()
{
    if (!s_rootItem)
        s_rootItem = std::make_unique<KVNItem>(QStringLiteral("Root"), root, nullptr);
    return s_rootItem.get();
}

void KVNItem::releaseRootItem()
{
    s_rootItem.reset();
}

bool KVNItem::hasCachedRootItem()
{
    return bool(s_rootItem);
}

void KVNItem::buildChildren()
{
    if (!hasValue()) {
        m_state = ChildrenState::NoChildren;
        return;
    }
    if (itemValue->isDictionary()) {
        const kv::PropertyListDictionary &dictionary = itemValue->dictionary();
        m_children.reserve(size_t(dictionary.size()));
        for (auto it = dictionary.cbegin(); it != dictionary.cend(); ++it)
            m_children.emplace_back(it.key(), &it.value(), itemValue);
        m_state = ChildrenState::List;
    } else if (itemValue->isArray()) {
        const kv::PropertyListArray &array = itemValue->array();
        const qsizetype count = array.size();
        m_children.reserve(size_t(count));
        for (qsizetype i = 0; i < count; ++i)
            m_children.emplace_back(QString::number(i), &array.at(i), itemValue);
        m_state = ChildrenState::List;
    } else {
        m_state = ChildrenState::NoChildren;
    }
}

const KVNItem::ChildList *KVNItem::children()
{
    if (m_state == ChildrenState::NotBuilt)
        buildChildren();
    return m_state == ChildrenState::List ? &m_children : nullptr;
}

int KVNItem::numberOfChildren()
{
    const ChildList *list = children();
    return list ? int(list->size()) : -1;
}

KVNItem *KVNItem::childAtIndex(int index)
{
    children();
    if (m_state != ChildrenState::List || index < 0 || size_t(index) >= m_children.size())
        return nullptr;
    return &m_children[size_t(index)];
}

QString KVNItem::value()
{
    if (!hasValue())
        return QString();
    if (itemValue->isDictionary()) {
        const int n = numberOfChildren();
        return n == 1 ? QStringLiteral("(1 Key/Value pair)") : QStringLiteral("(%1 Key/Value pairs)").arg(n);
    }
    if (itemValue->isArray()) {
        const int n = numberOfChildren();
        return n == 1 ? QStringLiteral("(1 Object)") : QStringLiteral("(%1 Objects)").arg(n);
    }
    return itemValue->description();
}

QString KVNItem::name() const
{
    return root ? itemName : QString(QLatin1String(""));
}

QString KVNItem::objectType() const
{
    if (!hasValue())
        return QString(QLatin1String(""));
    if (itemValue->isDictionary())
        return QStringLiteral("Dictionary");
    if (itemValue->isArray())
        return QStringLiteral("Array");
    if (itemValue->isString())
        return QStringLiteral("String");
    if (itemValue->isNumber())
        return QStringLiteral("Number");
    if (itemValue->isData())
        return QStringLiteral("Data");
    if (itemValue->isDate())
        return QStringLiteral("Date");
    return QString(QLatin1String(""));
}
