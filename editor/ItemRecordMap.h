#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

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
        entries.emplace_back(item, std::move(record));
    }

    Record *find(const Item *item)
    {
        const auto it = std::find_if(entries.begin(), entries.end(),
                                     [item](const Entry &entry) { return entry.first == item; });
        return it == entries.end() ? nullptr : &it->second;
    }

    const Record *find(const Item *item) const { return const_cast<ItemRecordMap *>(this)->find(item); }

    bool remove(const Item *item)
    {
        const auto it = std::find_if(entries.begin(), entries.end(),
                                     [item](const Entry &entry) { return entry.first == item; });
        if (it == entries.end()) {
            return false;
        }
        entries.erase(it);
        return true;
    }

    void clear() { entries.clear(); }
    std::size_t size() const { return entries.size(); }
    bool empty() const { return entries.empty(); }

    // The records in entry order.
    std::vector<Record> records() const
    {
        std::vector<Record> result;
        result.reserve(entries.size());
        for (const Entry &entry : entries) {
            result.push_back(entry.second);
        }
        return result;
    }

    typename std::vector<Entry>::const_iterator begin() const { return entries.begin(); }
    typename std::vector<Entry>::const_iterator end() const { return entries.end(); }

private:
    std::vector<Entry> entries;
};
