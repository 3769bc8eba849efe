// The list container, the header store and the cookie jar.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qx_alloc_test.h"
#include "qx_internal.h"
#include "qx_stack_http.h"
#include "test_support.h"

namespace {

// ---------------------------------------------------------------- list container

// Walks the list both ways and checks the links and the count agree.
std::vector<int> items_checked(const QXList &l) {
    std::vector<int> fwd;
    const QXListNode *prev = nullptr;
    for (const QXListNode *n = l.head; n; n = n->next) {
        EXPECT_EQ(n->prev, prev);
        fwd.push_back(*static_cast<const int *>(n->item));
        prev = n;
    }
    EXPECT_EQ(l.tail, prev);
    EXPECT_EQ(l.count, static_cast<int>(fwd.size()));
    return fwd;
}

int match_int(const void *key, const void *item) {
    return *static_cast<const int *>(key) == *static_cast<const int *>(item) ? 0 : 1;
}

struct ListTest : ::testing::Test {
    rrtest::LeakCheck leaks;
    QXList list{};
    int v[6] = {0, 1, 2, 3, 4, 5};
    void TearDown() override { fnQXList_Clear(&list, nullptr); }
};

TEST_F(ListTest, AppendPrependFindAndCount) {
    EXPECT_EQ(fnQXList_IsEmpty(&list), 1);
    EXPECT_EQ(fnQXList_Count(&list), 0);
    EXPECT_NE(fnQXList_Append(&list, &v[2]), nullptr);
    EXPECT_NE(fnQXList_Append(&list, &v[3]), nullptr);
    EXPECT_NE(fnQXList_Prepend(&list, &v[1]), nullptr);
    EXPECT_EQ(items_checked(list), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(fnQXList_IsEmpty(&list), 0);
    EXPECT_EQ(fnQXList_Count(&list), 3);

    const int key = 3;
    QXListNode *n = fnQXList_Find(&list, &key, match_int);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->item, &v[3]);
    const int missing = 9;
    EXPECT_EQ(fnQXList_Find(&list, &missing, match_int), nullptr);

    // Null arguments.
    EXPECT_EQ(fnQXList_Append(nullptr, &v[0]), nullptr);
    EXPECT_EQ(fnQXList_Append(&list, nullptr), nullptr);
    EXPECT_EQ(fnQXList_Prepend(&list, nullptr), nullptr);
    EXPECT_EQ(fnQXList_Find(&list, nullptr, match_int), nullptr);
    EXPECT_EQ(fnQXList_Find(&list, &key, nullptr), nullptr);
    EXPECT_EQ(fnQXList_Find(nullptr, &key, match_int), nullptr);
    EXPECT_EQ(fnQXList_Count(nullptr), -1);
    EXPECT_EQ(fnQXList_IsEmpty(nullptr), 1);
    EXPECT_EQ(items_checked(list), (std::vector<int>{1, 2, 3}));
}

TEST_F(ListTest, RemoveHeadMiddleTailAndOnlyNode) {
    QXListNode *n[5];
    for (int i = 0; i < 5; ++i) n[i] = fnQXList_Append(&list, &v[i]);
    fnQXList_Remove(&list, n[2]);  // middle
    EXPECT_EQ(items_checked(list), (std::vector<int>{0, 1, 3, 4}));
    fnQXList_Remove(&list, n[4]);  // tail: its predecessor becomes the tail
    EXPECT_EQ(items_checked(list), (std::vector<int>{0, 1, 3}));
    fnQXList_Remove(&list, n[0]);  // head
    EXPECT_EQ(items_checked(list), (std::vector<int>{1, 3}));
    fnQXList_Remove(&list, n[1]);
    EXPECT_EQ(items_checked(list), (std::vector<int>{3}));
    fnQXList_Remove(&list, n[3]);  // the only node
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(fnQXList_IsEmpty(&list), 1);
}

TEST_F(ListTest, RemoveLeavesForeignNodesAlone) {
    fnQXList_Append(&list, &v[0]);
    fnQXList_Append(&list, &v[1]);
    QXList other{};
    QXListNode *stranger = fnQXList_Append(&other, &v[5]);
    fnQXList_Remove(&list, stranger);
    EXPECT_EQ(items_checked(list), (std::vector<int>{0, 1}));
    EXPECT_EQ(items_checked(other), (std::vector<int>{5}));
    fnQXList_Remove(&list, nullptr);
    fnQXList_Remove(nullptr, stranger);
    QXList empty{};
    fnQXList_Remove(&empty, stranger);
    EXPECT_EQ(empty.count, 0);
    fnQXList_Clear(&other, nullptr);
    EXPECT_EQ(items_checked(list), (std::vector<int>{0, 1}));
}

TEST_F(ListTest, PopFromBothEnds) {
    EXPECT_EQ(fnQXList_PopHead(&list), nullptr);
    EXPECT_EQ(fnQXList_PopTail(&list), nullptr);
    EXPECT_EQ(fnQXList_PopHead(nullptr), nullptr);
    for (int i = 0; i < 4; ++i) fnQXList_Append(&list, &v[i]);
    EXPECT_EQ(fnQXList_PopHead(&list), &v[0]);
    EXPECT_EQ(fnQXList_PopTail(&list), &v[3]);
    EXPECT_EQ(items_checked(list), (std::vector<int>{1, 2}));
    EXPECT_EQ(fnQXList_PopTail(&list), &v[2]);
    EXPECT_EQ(fnQXList_PopTail(&list), &v[1]);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.tail, nullptr);
    EXPECT_EQ(list.count, 0);
}

int g_released = 0;
void release_counted(void *item) {
    ++g_released;
    fnQX_Free(&item);
}

TEST_F(ListTest, ClearHandsItemsToTheReleaseFunction) {
    for (int i = 0; i < 3; ++i) fnQXList_Append(&list, fnQX_Malloc(8));
    g_released = 0;
    fnQXList_Clear(&list, release_counted);
    EXPECT_EQ(g_released, 3);
    EXPECT_EQ(list.head, nullptr);
    EXPECT_EQ(list.count, 0);
}

TEST_F(ListTest, ClearWithoutReleaseFreesOnlyTheNodes) {
    const long before = qx::alloc_stats().liveBlocks;
    for (int i = 0; i < 3; ++i) fnQXList_Append(&list, &v[i]);
    EXPECT_EQ(qx::alloc_stats().liveBlocks, before + 3);
    fnQXList_Clear(&list, nullptr);
    EXPECT_EQ(qx::alloc_stats().liveBlocks, before);
    EXPECT_EQ(v[2], 2);  // the items are untouched
    EXPECT_EQ(fnQXList_Count(&list), 0);
    fnQXList_Clear(nullptr, nullptr);
}

TEST_F(ListTest, FailedNodeAllocationAddsNothing) {
    fnQXList_Append(&list, &v[0]);
    qx::alloc_fail_nth(1);
    EXPECT_EQ(fnQXList_Append(&list, &v[1]), nullptr);
    qx::alloc_fail_nth(1);
    EXPECT_EQ(fnQXList_Prepend(&list, &v[1]), nullptr);
    qx::alloc_fail_off();
    EXPECT_EQ(items_checked(list), (std::vector<int>{0}));
}

// ---------------------------------------------------------------- header store and cookie jar

struct StoreTest : ::testing::Test {
    rrtest::LeakCheck leaks;
    void TearDown() override {
        fnQXStack_Http_FreeHeaders();
        fnQXStack_Http_FreeCookies();
    }
};

std::vector<std::string> header_lines() {
    std::vector<std::string> v;
    const QXList *l = fnQXStack_Http_HeaderList();
    if (!l) return v;
    for (const QXListNode *n = l->head; n; n = n->next) {
        const auto *e = static_cast<const QXHeaderEntry *>(n->item);
        v.push_back(std::string(e->name) + "=" + e->value);
    }
    EXPECT_EQ(l->count, static_cast<int>(v.size()));
    return v;
}

std::vector<std::string> cookies() {
    std::vector<std::string> v;
    const QXList *l = fnQXStack_Http_CookieList();
    if (!l) return v;
    for (const QXListNode *n = l->head; n; n = n->next) {
        const auto *c = static_cast<const QXCookie *>(n->item);
        v.push_back(std::string(c->name) + "=" + c->value + "@" + c->host + c->path);
    }
    EXPECT_EQ(l->count, static_cast<int>(v.size()));
    return v;
}

std::string cookie_lines(const char *host) {
    MemBuffer *b = fnQXBuf_New(64);
    fnQXStack_Http_AddCookies(b, host);
    std::string s(reinterpret_cast<const char *>(b->data), static_cast<size_t>(b->length));
    fnQXBuf_Free(b);
    return s;
}

TEST_F(StoreTest, SettingAHeaderTwiceKeepsItsPlace) {
    EXPECT_EQ(fnQXStack_Http_HeaderList(), nullptr);
    EXPECT_EQ(fnQXStack_Http_GetHeader("Accept"), nullptr);  // no store yet
    fnQXStack_Http_SetHeader("Accept", "*/*");
    fnQXStack_Http_SetHeader("User-Agent", "first");
    fnQXStack_Http_SetHeader("Accept-Language", "en");
    fnQXStack_Http_SetHeader("User-Agent", "second");
    EXPECT_EQ(header_lines(), (std::vector<std::string>{"Accept=*/*", "User-Agent=second", "Accept-Language=en"}));
    EXPECT_STREQ(fnQXStack_Http_GetHeader("User-Agent"), "second");
    EXPECT_EQ(fnQXStack_Http_GetHeader("user-agent"), nullptr);  // names compare exactly
    EXPECT_EQ(fnQXStack_Http_GetHeader("Profile"), nullptr);
    EXPECT_EQ(fnQXStack_Http_GetHeader(nullptr), nullptr);
    fnQXStack_Http_SetHeader("Profile", nullptr);  // a null value is stored empty
    EXPECT_STREQ(fnQXStack_Http_GetHeader("Profile"), "");
    fnQXStack_Http_SetHeader(nullptr, "x");
    EXPECT_EQ(header_lines().size(), 4u);
    fnQXStack_Http_FreeHeaders();
    EXPECT_EQ(fnQXStack_Http_HeaderList(), nullptr);
    EXPECT_EQ(fnQXStack_Http_GetHeader("Accept"), nullptr);
    fnQXStack_Http_FreeHeaders();  // twice is harmless
}

TEST_F(StoreTest, JarKeepsTheFiftyNewest) {
    for (int i = 0; i < 51; ++i) {
        const std::string name = "c" + std::to_string(i);
        fnQXStack_Http_SetCookie(name.c_str(), "v", "mmsc", "/");
    }
    const std::vector<std::string> jar = cookies();
    ASSERT_EQ(jar.size(), 50u);
    EXPECT_EQ(jar.front(), "c50=v@mmsc/");  // newest first
    EXPECT_EQ(jar.back(), "c1=v@mmsc/");    // c0, the oldest, is gone
    // Updating a cookie does not add one.
    fnQXStack_Http_SetCookie("c25", "w", "mmsc", "/");
    EXPECT_EQ(cookies().size(), 50u);
}

TEST_F(StoreTest, SameNameHostAndPathUpdatesOtherPathAdds) {
    fnQXStack_Http_SetCookie("sid", "1", "mmsc", "/");
    fnQXStack_Http_SetCookie("sid", "2", "mmsc", "/");
    EXPECT_EQ(cookies(), (std::vector<std::string>{"sid=2@mmsc/"}));
    fnQXStack_Http_SetCookie("sid", "3", "mmsc", "/mms");
    fnQXStack_Http_SetCookie("sid", "4", "other", "/");
    EXPECT_EQ(cookies(), (std::vector<std::string>{"sid=4@other/", "sid=3@mmsc/mms", "sid=2@mmsc/"}));
    // An update keeps the cookie where it is.
    fnQXStack_Http_SetCookie("sid", "5", "mmsc", "/");
    EXPECT_EQ(cookies().back(), "sid=5@mmsc/");
    // Missing texts are kept as empty ones and found again.
    fnQXStack_Http_SetCookie("n", nullptr, "mmsc", nullptr);
    fnQXStack_Http_SetCookie("n", "x", "mmsc", nullptr);
    EXPECT_EQ(cookies().front(), "n=x@mmsc");
    EXPECT_EQ(cookies().size(), 4u);
}

TEST_F(StoreTest, CookieLinesNewestFirstForTheHostOnly) {
    EXPECT_EQ(cookie_lines("mmsc"), "");  // no jar at all
    fnQXStack_Http_SetCookie("a", "1", "mmsc", "/");
    fnQXStack_Http_SetCookie("x", "9", "mmsc.other", "/");
    fnQXStack_Http_SetCookie("b", "2", "mmsc", "/other-path");
    EXPECT_EQ(cookie_lines("mmsc"), "Cookie: b=2; a=1\r\nCookie2: \"1\"\r\n");
    EXPECT_EQ(cookie_lines("mmsc.other"), "Cookie: x=9\r\nCookie2: \"1\"\r\n");
    EXPECT_EQ(cookie_lines("MMSC"), "");  // hosts compare exactly
    EXPECT_EQ(cookie_lines("nohost"), "");
    EXPECT_EQ(cookie_lines(nullptr), "");
    fnQXStack_Http_AddCookies(nullptr, "mmsc");
    fnQXStack_Http_FreeCookies();
    EXPECT_EQ(fnQXStack_Http_CookieList(), nullptr);
    EXPECT_EQ(cookie_lines("mmsc"), "");
}

// ---------------------------------------------------------------- allocation failures

TEST_F(StoreTest, HeaderAllocationFailuresDropTheEntry) {
    const long clean = rrtest::for_each_alloc_failure([](long) {
        fnQXStack_Http_SetHeader("Accept", "*/*");
        fnQXStack_Http_SetHeader("User-Agent", "a");
        fnQXStack_Http_SetHeader("User-Agent", "b");
        // Every entry is complete or absent.
        for (const std::string &h : header_lines()) EXPECT_TRUE(h == "Accept=*/*" || h.rfind("User-Agent=", 0) == 0) << h;
        const char *ua = fnQXStack_Http_GetHeader("User-Agent");
        if (ua) {
            EXPECT_TRUE(std::string(ua) == "a" || std::string(ua) == "b");
        }
        fnQXStack_Http_FreeHeaders();
    });
    EXPECT_GE(clean, 8);
}

TEST_F(StoreTest, CookieAllocationFailuresDropTheCookie) {
    const long clean = rrtest::for_each_alloc_failure([](long) {
        fnQXStack_Http_SetCookie("a", "1", "mmsc", "/");
        fnQXStack_Http_SetCookie("b", "2", "mmsc", "/");
        fnQXStack_Http_SetCookie("a", "3", "mmsc", "/");
        const std::vector<std::string> jar = cookies();
        for (const std::string &c : jar)
            EXPECT_TRUE(c == "a=1@mmsc/" || c == "a=3@mmsc/" || c == "b=2@mmsc/") << c;
        // The cookie lines come whole, after what the request held, or not at all.
        MemBuffer *b = fnQXBuf_New(4);
        if (b && fnQXBuf_Append(b, "GET / HTTP/1.0\r\n", 16)) {
            char skip[4];
            fnQXBuf_Read(b, skip, 4);
            fnQXStack_Http_AddCookies(b, "mmsc");
            std::string block;
            for (const std::string &c : jar) block += (block.empty() ? "Cookie: " : "; ") + c.substr(0, c.find('@'));
            if (!block.empty()) block += "\r\nCookie2: \"1\"\r\n";
            const std::string got(reinterpret_cast<const char *>(b->data) + b->readPos,
                                  static_cast<size_t>(b->length - b->readPos));
            EXPECT_TRUE(got == "/ HTTP/1.0\r\n" || got == "/ HTTP/1.0\r\n" + block) << got;
            EXPECT_EQ(b->data[b->length], 0);
        }
        fnQXBuf_Free(b);
        fnQXStack_Http_FreeCookies();
    });
    EXPECT_GE(clean, 12);
}

TEST_F(StoreTest, FullJarEvictionUnderAllocationFailure) {
    for (int i = 0; i < 50; ++i) fnQXStack_Http_SetCookie(("k" + std::to_string(i)).c_str(), "v", "h", "/");
    rrtest::for_each_alloc_failure([](long) { fnQXStack_Http_SetCookie("new", "v", "h", "/"); });
    const std::vector<std::string> jar = cookies();
    EXPECT_EQ(jar.size(), 50u);
    EXPECT_EQ(jar.front(), "new=v@h/");
    EXPECT_EQ(jar.back(), "k1=v@h/");
}

}  // namespace
