#include "browser/ColumnTree.h"

#include "browser/KeyScanner.h"
#include "platform/Utf16Scan.h"

#include <algorithm>

namespace kv {

namespace {

// Character i of the spelled component (0 <= i < view.size()).
inline char16_t componentCharacter(const ComponentView &view, qsizetype i)
{
    if (view.slash) {
        if (i == 0)
            return u'/';
        --i;
    }
    if (i < view.text.size())
        return view.text[i].unicode();
    return u':';
}

inline qint32 offsetIn(const QString &key, QStringView part)
{
    return qint32(part.data() - key.constData());
}

// The index of the next `delimiter` in text[from, size), or of a character
// that may be skippable (U+0000 to U+0020, or from U+0085 on); size when
// there is none.
inline qsizetype nextToLookAt(const char16_t *text, qsizetype from, qsizetype size, char16_t delimiter)
{
    return findOutsideOrEqual(text, from, size, 0x21, 0x84, delimiter);
}

} // namespace

QString ComponentView::toString() const
{
    QString result;
    result.reserve(size());
    if (slash)
        result.append(u'/');
    result.append(text);
    if (colon)
        result.append(u':');
    return result;
}

bool operator==(const ComponentView &a, const ComponentView &b)
{
    if (a.slash == b.slash && a.colon == b.colon)
        return a.text == b.text;
    const qsizetype size = a.size();
    if (size != b.size())
        return false;
    for (qsizetype i = 0; i < size; ++i) {
        if (componentCharacter(a, i) != componentCharacter(b, i))
            return false;
    }
    return true;
}

DecomposedKey::DecomposedKey(const QString &storeKey) : m_key(storeKey)
{}

DecomposedKey::ComponentList &DecomposedKey::ComponentList::operator=(const ComponentList &other)
{
    if (this == &other)
        return *this;
    m_first = other.m_first;
    m_size = other.m_size;
    m_restCapacity = std::max(0, other.m_size - 1);
    m_rest.reset(m_restCapacity > 0 ? new Component[size_t(m_restCapacity)] : nullptr);
    std::copy_n(other.m_rest.get(), m_restCapacity, m_rest.get());
    return *this;
}

void DecomposedKey::ComponentList::append(const Component &component)
{
    if (m_size == 0) {
        m_first = component;
        m_size = 1;
        return;
    }
    if (m_size - 1 == m_restCapacity) {
        const qint32 capacity = std::max(4, m_restCapacity * 2);
        std::unique_ptr<Component[]> grown(new Component[size_t(capacity)]);
        std::copy_n(m_rest.get(), m_restCapacity, grown.get());
        m_rest = std::move(grown);
        m_restCapacity = capacity;
    }
    m_rest[size_t(m_size - 1)] = component;
    ++m_size;
}

ComponentView DecomposedKey::componentView(int i) const
{
    if (i > 0) // the domain component is there from the start
        splitPath();
    const Component &c = m_components.at(i);
    return ComponentView{bool(c.slash), QStringView(m_key).sliced(c.offset, c.length), bool(c.colon)};
}

QString DecomposedKey::component(int i) const
{
    return componentView(i).toString();
}

QStringList DecomposedKey::components() const
{
    QStringList result;
    result.reserve(count());
    for (int i = 0; i < count(); ++i)
        result.append(component(i));
    return result;
}

QString DecomposedKey::joined() const
{
    qsizetype size = 0;
    for (int i = 0; i < count(); ++i)
        size += componentView(i).size();
    QString result;
    result.reserve(size);
    for (int i = 0; i < count(); ++i) {
        const ComponentView view = componentView(i);
        if (view.slash)
            result.append(u'/');
        result.append(view.text);
        if (view.colon)
            result.append(u':');
    }
    return result;
}

bool DecomposedKey::hasComponentsAfter(int i) const
{
    // A path that begins with a character the scans keep (not white space or
    // a line break) is at least one component.
    if (i == 0 && m_pathAt >= 0 && !isSkippableCharacter(m_key.at(m_pathAt).unicode()))
        return true;
    return count() > i + 1;
}

bool DecomposedKey::hasSameComponents(const DecomposedKey &other) const
{
    if (count() != other.count())
        return false;
    for (int i = 0; i < count(); ++i) {
        if (!(componentView(i) == other.componentView(i)))
            return false;
    }
    return true;
}

DecomposedKeyPtr decomposedStringByScanning(const QString &key)
{
    auto *made = new DecomposedKey(key);
    DecomposedKeyPtr result = DecomposedKeyPtr::adopt(made);
    // Keys too long for the component boundaries are left empty, like keys
    // that cannot be placed in the browser.
    if (key.size() > DecomposedKey::MaximumKeyLength)
        return result;
    auto &components = made->m_components;

    KeyScanner scanner(key);
    QStringView domain;
    if (!scanner.scanUpToString(u":", &domain))
        return result;
    const qint32 domainOffset = offsetIn(key, domain);
    const bool colonInKey = domainOffset + domain.size() < key.size();
    components.append({domainOffset, quint32(domain.size()), 0, 1, colonInKey});
    scanner.scanString(u":");

    while (!scanner.isAtEnd()) {
        const bool slash = scanner.scanString(u"/");
        QStringView piece;
        const bool taken = scanner.scanUpToString(u"/", &piece);
        if (slash && !taken)
            components.append({qint32(scanner.scanLocation()), 0, 1, 0, 0});
        else if (taken)
            components.append({offsetIn(key, piece), quint32(piece.size()), slash ? 1u : 0u, 0, 0});
        else
            break; // cannot happen: a scanner not at its end always takes something
    }
    return result;
}

DecomposedKeyPtr decomposedString(const QString &key)
{
    if (key.size() > DecomposedKey::MaximumKeyLength)
        return decomposedStringByScanning(key);

    // Finds the first ":" and gives the key to the scanner as soon as it
    // meets a character the scans would skip. Without such characters the
    // scans reduce to splitting at the first ":" and then at "/" (done by
    // splitPathNow when the path is first asked for).
    auto *made = new DecomposedKey(key);
    DecomposedKeyPtr result = DecomposedKeyPtr::adopt(made);
    auto &components = made->m_components;
    const char16_t *text = reinterpret_cast<const char16_t *>(key.constData());
    const qsizetype size = key.size();

    qsizetype at = nextToLookAt(text, 0, size, u':');
    for (; at < size && text[at] != u':'; at = nextToLookAt(text, at + 1, size, u':')) {
        if (isSkippableCharacter(text[at]))
            return decomposedStringByScanning(key);
    }
    if (at == 0) // empty key, or a key beginning with ":"
        return result;
    if (at == size) {
        components.append({0, quint32(size), 0, 1, 0});
        return result;
    }
    components.append({0, quint32(at), 0, 1, 1});
    if (at + 1 < size) // a path follows: split when first asked for
        made->m_pathAt = qint32(at + 1);
    return result;
}

void componentViews(const QString &key, std::vector<ComponentView> &views)
{
    views.clear();
    const auto scanned = [&] {
        views.clear();
        // The scanner's key shares its text with `key`: the views stay valid.
        const DecomposedKeyPtr decomposed = decomposedStringByScanning(key);
        for (int i = 0; i < decomposed->count(); ++i)
            views.push_back(decomposed->componentView(i));
    };
    if (key.size() > DecomposedKey::MaximumKeyLength)
        return scanned();
    // As decomposedString() and splitPathNow() split a key.
    const char16_t *text = reinterpret_cast<const char16_t *>(key.constData());
    const qsizetype size = key.size();
    qsizetype at = nextToLookAt(text, 0, size, u':');
    for (; at < size && text[at] != u':'; at = nextToLookAt(text, at + 1, size, u':')) {
        if (isSkippableCharacter(text[at]))
            return scanned();
    }
    if (at == 0)
        return;
    views.push_back({false, QStringView(text, at), true});
    qsizetype start = at + 1;
    if (start >= size)
        return;
    bool slash = false;
    for (at = nextToLookAt(text, start, size, u'/'); at < size; at = nextToLookAt(text, at + 1, size, u'/')) {
        if (text[at] != u'/') {
            if (isSkippableCharacter(text[at]))
                return scanned();
            continue;
        }
        if (at > start || slash)
            views.push_back({slash, QStringView(text + start, at - start), false});
        start = at + 1;
        slash = true;
    }
    if (size > start || slash)
        views.push_back({slash, QStringView(text + start, size - start), false});
}

void DecomposedKey::splitPathNow() const
{
    const char16_t *text = reinterpret_cast<const char16_t *>(m_key.constData());
    const qsizetype size = m_key.size();
    qsizetype start = m_pathAt;
    m_pathAt = -1;
    // Each "/" ends the component before it (if it has text, or is itself
    // after a "/") and starts the next. A character the scans would skip
    // hands the key to the scanner, whose domain component is the same.
    bool slash = false;
    for (qsizetype at = nextToLookAt(text, start, size, u'/'); at < size; at = nextToLookAt(text, at + 1, size, u'/')) {
        if (text[at] != u'/') {
            if (isSkippableCharacter(text[at])) {
                m_components = decomposedStringByScanning(m_key)->m_components;
                return;
            }
            continue;
        }
        if (at > start || slash)
            m_components.append({qint32(start), quint32(at - start), slash ? 1u : 0u, 0, 0});
        start = at + 1;
        slash = true;
    }
    if (size > start || slash)
        m_components.append({qint32(start), quint32(size - start), slash ? 1u : 0u, 0, 0});
}

DecomposedKeyList decomposedStrings(const QStringList &keys)
{
    DecomposedKeyList result;
    result.reserve(keys.size());
    for (const QString &key : keys)
        result.push_back(decomposedString(key));
    return result;
}

TreeBranch buildTreeBranchForColumn(int column, const DecomposedKeyList *keysArray)
{
    if (!keysArray)
        return TreeBranch();
    return buildTreeBranchForRange(column, *keysArray, 0, qsizetype(keysArray->size()), nullptr);
}

TreeBranch buildTreeBranchForRange(int column, const DecomposedKeyList &keys, qsizetype begin, qsizetype end,
                                   std::vector<RowExtent> *extents)
{
    TreeBranch branch;
    if (column < 0)
        return branch;

    // The key that opened the current row; its component at `column` is the
    // row's name. Names are compared as views, without making strings.
    const DecomposedKey *rowKey = nullptr;
    ComponentView rowName;
    BranchNode *node = nullptr;
    for (qsizetype i = begin; i < end; ++i) {
        const DecomposedKeyPtr &key = keys[size_t(i)];
        if (!key || !key->hasComponent(column))
            continue; // no component here: the key cannot be placed in this column
        const ComponentView name = key->componentView(column);
        if (!rowKey || !(name == rowName)) {
            rowKey = key.get();
            rowName = name;
            BranchNode opened;
            opened.name = name.toString();
            branch.names.append(opened.name);
            branch.nodes.append(std::move(opened));
            node = &branch.nodes.last();
            if (extents)
                extents->push_back({i, i});
        }
        if (extents)
            extents->back().last = i;
        if (!key->hasComponentsAfter(column)) {
            node->key = key;
        } else {
            if (!node->leaf)
                node->leaf = std::make_shared<DecomposedKeyList>();
            node->leaf->push_back(key);
        }
    }
    return branch;
}

} // namespace kv
