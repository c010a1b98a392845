#ifndef KS_COMMON_LIST_H
#define KS_COMMON_LIST_H

// Intrusive lists: the links live inside the records, so membership costs no
// allocation and unlinking is constant time. Records that embed them must be
// standard-layout so that KS_CONTAINER_OF (offsetof) is well defined.

#include <cstddef>

// Recovers the record from a pointer to its embedded member; null stays null.
// The lambda parameter type makes a pointer of the wrong type a compile error.
#define KS_CONTAINER_OF(ptr, type, member)                                            \
    ([](decltype(&static_cast<type *>(nullptr)->member) p_) -> type * {              \
        return p_ ? reinterpret_cast<type *>(reinterpret_cast<char *>(p_) -           \
                                             offsetof(type, member))                  \
                  : nullptr;                                                          \
    }(ptr))

// Doubly linked list with insertion at the head.
struct ks_list_entry {
    ks_list_entry *le_next;
    ks_list_entry **le_prev; // null while the entry is in no list
};

struct ks_list_head {
    ks_list_entry *lh_first;
};

inline void ks_list_init(ks_list_head *head) { head->lh_first = nullptr; }

inline bool ks_list_empty(const ks_list_head *head) { return head->lh_first == nullptr; }

inline bool ks_list_linked(const ks_list_entry *entry) { return entry->le_prev != nullptr; }

inline void ks_list_insert_head(ks_list_head *head, ks_list_entry *entry)
{
    entry->le_next = head->lh_first;
    if (entry->le_next != nullptr)
        entry->le_next->le_prev = &entry->le_next;
    head->lh_first = entry;
    entry->le_prev = &head->lh_first;
}

inline void ks_list_remove(ks_list_entry *entry)
{
    if (entry->le_next != nullptr)
        entry->le_next->le_prev = entry->le_prev;
    *entry->le_prev = entry->le_next;
    entry->le_next = nullptr;
    entry->le_prev = nullptr;
}

// Tail queue: insertion at either end, removal anywhere.
struct ks_tailq_entry {
    ks_tailq_entry *tqe_next;
    ks_tailq_entry **tqe_prev;
};

struct ks_tailq_head {
    ks_tailq_entry *tqh_first;
    ks_tailq_entry **tqh_last;
};

inline void ks_tailq_init(ks_tailq_head *head)
{
    head->tqh_first = nullptr;
    head->tqh_last = &head->tqh_first;
}

inline bool ks_tailq_empty(const ks_tailq_head *head) { return head->tqh_first == nullptr; }

inline ks_tailq_entry *ks_tailq_last(const ks_tailq_head *head)
{
    return head->tqh_first == nullptr ? nullptr
                                      : KS_CONTAINER_OF(head->tqh_last, ks_tailq_entry, tqe_next);
}

inline void ks_tailq_insert_head(ks_tailq_head *head, ks_tailq_entry *entry)
{
    entry->tqe_next = head->tqh_first;
    if (entry->tqe_next != nullptr)
        entry->tqe_next->tqe_prev = &entry->tqe_next;
    else
        head->tqh_last = &entry->tqe_next;
    head->tqh_first = entry;
    entry->tqe_prev = &head->tqh_first;
}

inline void ks_tailq_insert_tail(ks_tailq_head *head, ks_tailq_entry *entry)
{
    entry->tqe_next = nullptr;
    entry->tqe_prev = head->tqh_last;
    *head->tqh_last = entry;
    head->tqh_last = &entry->tqe_next;
}

inline void ks_tailq_remove(ks_tailq_head *head, ks_tailq_entry *entry)
{
    if (entry->tqe_next != nullptr)
        entry->tqe_next->tqe_prev = entry->tqe_prev;
    else
        head->tqh_last = entry->tqe_prev;
    *entry->tqe_prev = entry->tqe_next;
    entry->tqe_next = nullptr;
    entry->tqe_prev = nullptr;
}

#endif
