// Small doubly linked list holding untyped items; the header store and the
// cookie jar are built on it.
#include "qx_internal.h"
#include "qx_stack_http.h"

namespace {

QXListNode *new_node(void *item) {
    auto *node = qx::alloc_rec<QXListNode>();
    if (node) node->item = item;
    return node;
}

}  // namespace

QXListNode *fnQXList_Append(QXList *list, void *item) {
    if (!list || !item) return nullptr;
    QXListNode *node = new_node(item);
    if (!node) return nullptr;
    node->prev = list->tail;
    if (list->tail)
        list->tail->next = node;
    else
        list->head = node;
    list->tail = node;
    ++list->count;
    return node;
}

QXListNode *fnQXList_Prepend(QXList *list, void *item) {
    if (!list || !item) return nullptr;
    QXListNode *node = new_node(item);
    if (!node) return nullptr;
    node->next = list->head;
    if (list->head)
        list->head->prev = node;
    else
        list->tail = node;
    list->head = node;
    ++list->count;
    return node;
}

QXListNode *fnQXList_Find(QXList *list, const void *key, QXListMatch match) {
    if (!list || !key || !match) return nullptr;
    for (QXListNode *n = list->head; n; n = n->next) {
        if (match(key, n->item) == 0) return n;
    }
    return nullptr;
}

// The node's membership is checked by walking from the head, so a stray node
// (of another list, or already removed) leaves the list untouched.
void fnQXList_Remove(QXList *list, QXListNode *node) {
    if (!list || !node || !list->head) return;
    if (node == list->head) {
        list->head = node->next;
        if (list->head) list->head->prev = nullptr;
        if (list->tail == node) list->tail = nullptr;
    } else {
        QXListNode *pred = list->head;
        while (pred && pred->next != node) pred = pred->next;
        if (!pred) return;
        pred->next = node->next;
        if (node->next) node->next->prev = pred;
        if (list->tail == node) list->tail = pred;
    }
    --list->count;
    qx::free_ptr(node);
}

void *fnQXList_PopHead(QXList *list) {
    if (!list || !list->head) return nullptr;
    void *item = list->head->item;
    fnQXList_Remove(list, list->head);
    return item;
}

void *fnQXList_PopTail(QXList *list) {
    if (!list || !list->tail) return nullptr;
    void *item = list->tail->item;
    fnQXList_Remove(list, list->tail);
    return item;
}

int fnQXList_IsEmpty(const QXList *list) { return (!list || !list->head) ? 1 : 0; }

int fnQXList_Count(const QXList *list) { return list ? list->count : -1; }

void fnQXList_Clear(QXList *list, QXListRelease release) {
    if (!list) return;
    while (list->head) {
        void *item = fnQXList_PopHead(list);
        if (item && release) release(item);
    }
}
