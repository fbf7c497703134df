#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace NVL::Engineering::VK {

// Records keyed by the identity of the list item that shows them. Iteration follows the order in which
// the records entered (file order, then additions), never item addresses, so writing the records back
// gives the same file order on every run and leaves the file as it was when nothing was edited.
template <typename Item, typename Record>
class ItemRecordMap
{
public:
    using Entry = std::pair<Item *, Record>;

    void insert(Item *item, Record record)
    {
        if (Record *existing = find(item)) {
            *existing = std::move(record);
            return;
        }
        m_entries.emplace_back(item, std::move(record));
    }

    Record *find(const Item *item)
    {
        const auto it = std::find_if(m_entries.begin(), m_entries.end(),
                                     [item](const Entry &entry) { return entry.first == item; });
        return it == m_entries.end() ? nullptr : &it->second;
    }

    const Record *find(const Item *item) const { return const_cast<ItemRecordMap *>(this)->find(item); }

    bool remove(const Item *item)
    {
        const auto it = std::find_if(m_entries.begin(), m_entries.end(),
                                     [item](const Entry &entry) { return entry.first == item; });
        if (it == m_entries.end()) {
            return false;
        }
        m_entries.erase(it);
        return true;
    }

    void clear() { m_entries.clear(); }
    std::size_t size() const { return m_entries.size(); }
    bool empty() const { return m_entries.empty(); }

    // The records in entry order.
    std::vector<Record> records() const
    {
        std::vector<Record> result;
        result.reserve(m_entries.size());
        for (const Entry &entry : m_entries) {
            result.push_back(entry.second);
        }
        return result;
    }

    typename std::vector<Entry>::const_iterator begin() const { return m_entries.begin(); }
    typename std::vector<Entry>::const_iterator end() const { return m_entries.end(); }

private:
    std::vector<Entry> m_entries;
};

} // namespace NVL::Engineering::VK
