#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <future>
#include <string>
#include <filesystem>
#include <iterator>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "proactive/loopback_persona_context_host.h"
#include "store/shadow_db.h"
#include "support/eventually.h"
#include "support/temp_dir.h"

namespace vask {
namespace {

using namespace std::chrono_literals;

constexpr const char* ann = "+15550001";

// A raw client over a real socket, so tests control how the bytes arrive.
class Client {
  public:
    explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected_ =
            ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    void send(const std::string& bytes) const {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    void finishSending() const { ::shutdown(fd_, SHUT_WR); }
    int fd() const { return fd_; }

    // Everything the server sends until it closes; `closed` stays false if it has not closed
    // within the (generous) limit.
    struct Reply {
        std::string bytes;
        bool closed = false;
    };
    Reply readToEnd(std::chrono::milliseconds limit = 10s) const {
        Reply reply;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            char chunk[4096];
            const auto n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                reply.closed = true;
                return reply;
            }
            reply.bytes.append(chunk, static_cast<std::size_t>(n));
        }
        return reply;
    }

  private:
    int fd_;
    bool connected_ = false;
};

struct Answer {
    int status = 0;
    std::string head;
    nlohmann::json body;
};

Answer parse(const std::string& bytes) {
    Answer answer;
    const auto split = bytes.find("\r\n\r\n");
    if (split == std::string::npos) {
        return answer;
    }
    answer.head = bytes.substr(0, split + 4);
    answer.status = std::stoi(bytes.substr(9, 3));
    answer.body = nlohmann::json::parse(bytes.substr(split + 4), nullptr, false);
    return answer;
}

std::string request(const std::string& body, const std::string& token,
                    const std::string& method = "POST",
                    const std::string& path = "/persona-context",
                    const std::string& authorizationLine = "") {
    const std::string authorization =
        authorizationLine.empty() ? "Authorization: Bearer " + token : authorizationLine;
    return method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + authorization +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

ShadowMessage message(std::string guid, std::string chatId, std::string text, std::int64_t second,
                      bool fromMe, bool group = false) {
    ShadowMessage m;
    m.guid = std::move(guid);
    m.chatId = std::move(chatId);
    m.sender = fromMe ? "me" : ann;
    m.text = std::move(text);
    m.timestamp = second * 1000000000LL;
    m.isFromMe = fromMe;
    m.isGroup = group;
    if (fromMe) {
        m.recipientHandle = ann;
    }
    return m;
}

class PersonaContextHostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ShadowDB db(dir / "shadow.db");
        db.createSchemaIfNeeded();
        db.insertBatch({
            message("in1", "chat-ann", "Are you coming?", 10, false),
            message("out1", "chat-ann", "Yes, on my way", 20, true),
            message("out2", "chat-ann", "Loved an image", 30, true),
            message("out3", "chat-ann", "https://a.example", 40, true),
            message("out4", "chat-ann", "  see you soon  ", 50, true),
            message("out5", "chat-ann", "see you soon", 60, true),
            message("in2", "chat-ann", "\uFFFC", 70, false),
            message("grp", "group-1", "group text", 80, false, true),
        });
    }

    Answer ask(const std::string& bytes) {
        Client client(host->port());
        client.send(bytes);
        const auto reply = client.readToEnd();
        EXPECT_TRUE(reply.closed);
        return parse(reply.bytes);
    }

    test::TempDir dir;
    std::unique_ptr<LoopbackPersonaContextHost> host =
        std::make_unique<LoopbackPersonaContextHost>(dir / "shadow.db");
};

TEST_F(PersonaContextHostTest, ServesTheFilteredContextOfOneContact) {
    EXPECT_EQ(host->endpoint(),
              "http://127.0.0.1:" + std::to_string(host->port()) + "/persona-context");
    EXPECT_EQ(host->token().size(), 32u);
    EXPECT_EQ(host->token().find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(host->token(), LoopbackPersonaContextHost(dir / "shadow.db").token());

    const auto answer = ask(request(
        R"({"recipient_handle":" +15550001\n","chat_id":" chat-ann ","thread_tail_cap":3,"x":1})",
        host->token()));
    const std::string body =
        R"({"contact_exemplars":[{"guid":"out5","text":"see you soon"},)"
        R"({"guid":"out1","text":"Yes, on my way"}],"thread_tail":[)"
        R"({"guid":"out4","is_from_me":true,"sender":"me","text":"see you soon"},)"
        R"({"guid":"out5","is_from_me":true,"sender":"me","text":"see you soon"},)"
        R"({"guid":"in2","is_from_me":false,"sender":"+15550001","text":"[sent an attachment]"}]})";
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.head, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(answer.body.dump(), body);

    const auto stranger =
        ask(request(R"({"recipient_handle":"nobody","chat_id":"group-1"})", host->token()));
    EXPECT_EQ(stranger.body.dump(), R"({"contact_exemplars":[],"thread_tail":[]})");
}

TEST_F(PersonaContextHostTest, EachStatusComesBackInTheCheckOrder) {
    const std::string& token = host->token();
    const std::string valid = R"({"recipient_handle":"+15550001"})";
    struct Case {
        const char* name;
        std::string bytes;
        int status;
        const char* error;  // nullptr: success
    };
    const Case cases[] = {
        {"lower-case method, wrong token", request(valid, "bad", "post"), 404, "not_found"},
        {"trailing slash", request(valid, token, "POST", "/persona-context/"), 404, "not_found"},
        {"query string", request(valid, token, "POST", "/persona-context?a=1"), 404, "not_found"},
        {"no authorization", request(valid, token, "POST", "/persona-context", "X: y"), 401,
         "unauthorized"},
        {"lower-case bearer",
         request(valid, token, "POST", "/persona-context", "Authorization: bearer " + token), 401,
         "unauthorized"},
        {"two blanks",
         request(valid, token, "POST", "/persona-context", "Authorization: Bearer  " + token), 401,
         "unauthorized"},
        {"header name in capitals, blanks after the token",
         request(valid, token, "POST", "/persona-context", "AUTHORIZATION: Bearer " + token + "  "),
         200, nullptr},
        {"wrong token with a bad body", request("not json", "bad"), 401, "unauthorized"},
        {"empty body", request("", token), 500, "retrieval_failed"},
        {"not an object", request("[1]", token), 500, "retrieval_failed"},
        {"recipient missing", request(R"({"chat_id":"c"})", token), 500, "retrieval_failed"},
        {"recipient a number", request(R"({"recipient_handle":5})", token), 500,
         "retrieval_failed"},
        {"fractional cap", request(R"({"recipient_handle":"a","contact_cap":2.5})", token), 500,
         "retrieval_failed"},
        {"cap as text", request(R"({"recipient_handle":"a","contact_cap":"2"})", token), 500,
         "retrieval_failed"},
        {"recipient of blanks", request(R"({"recipient_handle":"   "})", token), 400,
         "invalid_recipient_handle"},
        {"recipient of 321 bytes",
         request(R"({"recipient_handle":")" + std::string(321, 'a') + "\"}", token), 400,
         "invalid_recipient_handle"},
        {"recipient of 320 bytes after trimming",
         request(R"({"recipient_handle":" )" + std::string(320, 'a') + " \"}", token), 200,
         nullptr},
        {"recipient with NUL", request(R"({"recipient_handle":"a\u0000b"})", token), 400,
         "invalid_recipient_handle"},
        {"chat id of 1025 bytes",
         request(R"({"recipient_handle":"a","chat_id":")" + std::string(1025, 'c') + "\"}", token),
         400, "invalid_chat_id"},
        {"chat id of 1024 bytes",
         request(R"({"recipient_handle":"a","chat_id":")" + std::string(1024, 'c') + "\"}", token),
         200, nullptr},
        {"contact cap 0", request(R"({"recipient_handle":"a","contact_cap":0})", token), 400,
         "invalid_caps"},
        {"contact cap 13", request(R"({"recipient_handle":"a","contact_cap":13})", token), 400,
         "invalid_caps"},
        {"tail cap 7", request(R"({"recipient_handle":"a","thread_tail_cap":7})", token), 400,
         "invalid_caps"},
        {"null caps",
         request(
             R"({"recipient_handle":"a","contact_cap":null,"thread_tail_cap":null,"chat_id":null})",
             token),
         200, nullptr},
        {"empty recipient before caps",
         request(R"({"recipient_handle":"","contact_cap":99})", token), 400,
         "invalid_recipient_handle"},
        {"body beyond the declared length",
         "POST /persona-context HTTP/1.1\r\nAuthorization: Bearer " + token +
             "\r\nContent-Length: 28\r\n\r\n" + R"({"recipient_handle":"+1555"}garbage)",
         200, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto answer = ask(c.bytes);
        EXPECT_EQ(answer.status, c.status);
        if (c.error) {
            EXPECT_EQ(answer.body, (nlohmann::json{{"error", c.error}}));
            EXPECT_TRUE(
                answer.head.starts_with("HTTP/1.1 " + std::to_string(c.status) + " Error\r\n"));
        } else {
            EXPECT_TRUE(answer.body.contains("thread_tail"));
        }
    }
}

TEST_F(PersonaContextHostTest, RequestSizeLimitCountsEveryReceivedByte) {
    const auto sized = [&](std::size_t total) {
        // Every body from 10000 to 99999 bytes declares a five-digit length.
        const std::size_t head = request(std::string(10000, ' '), host->token()).size() - 10000;
        std::string body = R"({"recipient_handle":"+15550001"})";
        body.append(total - head - body.size(), ' ');
        const auto bytes = request(body, host->token());
        EXPECT_EQ(bytes.size(), total);
        return bytes;
    };
    EXPECT_EQ(ask(sized(16384)).status, 200);
    const auto refused = ask(sized(16385));
    EXPECT_EQ(refused.status, 413);
    EXPECT_EQ(refused.body, (nlohmann::json{{"error", "request_too_large"}}));
}

TEST_F(PersonaContextHostTest, RequestsArrivingInPiecesAreAnsweredOnceComplete) {
    const std::string whole = request(R"({"recipient_handle":"+15550001"})", host->token());
    Client client(host->port());
    for (std::size_t at = 0; at < whole.size(); at += 17) {
        client.send(whole.substr(at, 17));
        std::this_thread::sleep_for(2ms);
    }
    const auto reply = client.readToEnd();
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(parse(reply.bytes).status, 200);
}

TEST_F(PersonaContextHostTest, UnfinishedRequestsAreClosedWithoutAnAnswer) {
    {
        SCOPED_TRACE("peer finished sending mid-head");
        Client client(host->port());
        client.send("POST /persona-context HTTP/1.1\r\nContent-Le");
        client.finishSending();
        const auto reply = client.readToEnd();
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.bytes, "");
    }
    {
        SCOPED_TRACE("no content length, peer finished");
        Client client(host->port());
        client.send("POST /persona-context HTTP/1.1\r\nAuthorization: Bearer " + host->token() +
                    "\r\n\r\n{}");
        client.finishSending();
        EXPECT_EQ(client.readToEnd().bytes, "");
    }
    {
        SCOPED_TRACE("silent peer past the idle limit");
        LoopbackPersonaContextHost quick(dir / "shadow.db",
                                         LoopbackPersonaContextHost::Options{100ms});
        Client client(quick.port());
        client.send("POST /persona-context HTTP/1.1\r\n");
        const auto reply = client.readToEnd();
        EXPECT_TRUE(reply.closed);
        EXPECT_EQ(reply.bytes, "");
    }
}

TEST_F(PersonaContextHostTest, StoppedHostClosesOpenConnectionsAndRefusesNewOnes) {
    Client open(host->port());
    ASSERT_TRUE(open.connected());
    open.send("POST /persona-context HTTP/1.1\r\n");
    const auto port = host->port();
    // The worker accepts connections in the order they came: once a later one is answered, this
    // one is open on the host's side.
    ASSERT_EQ(ask(request(R"({"recipient_handle":"+15550001"})", host->token())).status, 200);
    host->cancel();
    EXPECT_TRUE(open.readToEnd().closed);
    EXPECT_FALSE(Client(port).connected());
    host.reset();  // a second stop is harmless
}

TEST_F(PersonaContextHostTest, FiftyParallelClientsAreAllAnswered) {
    std::vector<std::future<int>> statuses;
    for (int i = 0; i < 50; ++i) {
        statuses.push_back(std::async(std::launch::async, [&] {
            Client client(host->port());
            client.send(
                request(R"({"recipient_handle":"+15550001","chat_id":"chat-ann"})", host->token()));
            return parse(client.readToEnd().bytes).status;
        }));
    }
    for (auto& status : statuses) {
        EXPECT_EQ(status.get(), 200);
    }
}

TEST(PersonaContextHostMissingDatabase, AnswersRetrievalFailed) {
    test::TempDir dir;
    auto made = LoopbackPersonaContextHost::factory()((dir / "absent.db").string());
    auto& host = dynamic_cast<LoopbackPersonaContextHost&>(*made);
    Client client(host.port());
    client.send(request(R"({"recipient_handle":"a"})", host.token()));
    const auto answer = parse(client.readToEnd().bytes);
    EXPECT_EQ(answer.status, 500);
    EXPECT_EQ(answer.body, (nlohmann::json{{"error", "retrieval_failed"}}));
    EXPECT_FALSE(std::filesystem::exists(dir / "absent.db"));
}

// Connections beyond the cap close the ones quiet longest, so idle clients cannot keep a
// request out.
TEST_F(PersonaContextHostTest, IdleClientsBeyondTheCapMakeRoomForARequest) {
    LoopbackPersonaContextHost capped(dir / "shadow.db",
                                      LoopbackPersonaContextHost::Options{10s, 4});
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 10; ++i) {
        idle.push_back(std::make_unique<Client>(capped.port()));
        ASSERT_TRUE(idle.back()->connected());
        idle.back()->send("POST /persona-context HTTP/1.1\r\n");
        std::this_thread::sleep_for(5ms);  // a clear order of activity
    }
    Client asking(capped.port());
    asking.send(request(R"({"recipient_handle":"+15550001"})", capped.token()));
    EXPECT_EQ(parse(asking.readToEnd().bytes).status, 200);
    int closed = 0;
    for (const auto& client : idle) {
        closed += client->readToEnd(200ms).closed ? 1 : 0;
    }
    // 11 connections through a cap of 4: at least the 7 quiet longest went.
    EXPECT_GE(closed, 7);
    EXPECT_TRUE(idle.front()->readToEnd(10ms).closed);
}

TEST_F(PersonaContextHostTest, AFloodOfBytesIsRefusedOnceAndOthersAreServed) {
    Client flooding(host->port());
    const std::string junk(std::size_t{1} << 16, 'x');
    for (int i = 0; i < 16; ++i) {
        if (::send(flooding.fd(), junk.data(), junk.size(), MSG_NOSIGNAL) < 0) {
            break;  // closed after the answer: the rest is refused by the peer's reset
        }
    }
    const auto reply = flooding.readToEnd();
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(ask(request(R"({"recipient_handle":"+15550001"})", host->token())).status, 200);
}

// Takes every free descriptor of the process but `spare`, under a lowered limit, and gives them
// (and the limit) back on restore() or destruction.
class ShortOfDescriptors {
  public:
    explicit ShortOfDescriptors(int spare) {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        int highest = 0;
        for (int fd = 0; fd < 65536 && fd < static_cast<int>(saved_.rlim_cur); ++fd) {
            highest = ::fcntl(fd, F_GETFD) != -1 ? fd : highest;
        }
        rlimit low = saved_;
        low.rlim_cur = static_cast<rlim_t>(highest) + 16;
        ::setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) {
            fillers_.push_back(fd);
        }
        for (int i = 0; i < spare && !fillers_.empty(); ++i) {
            ::close(fillers_.back());
            fillers_.pop_back();
        }
    }
    ~ShortOfDescriptors() { restore(); }
    ShortOfDescriptors(const ShortOfDescriptors&) = delete;
    ShortOfDescriptors& operator=(const ShortOfDescriptors&) = delete;

    bool taken() const { return !fillers_.empty(); }
    void restore() {
        for (const int fd : fillers_) {
            ::close(fd);
        }
        fillers_.clear();
        ::setrlimit(RLIMIT_NOFILE, &saved_);
    }

  private:
    rlimit saved_{};
    std::vector<int> fillers_;
};

// Out of descriptors, accept fails while the listener stays readable: the host must rest rather
// than spin, and serve again once descriptors are back. With no connection of its own to close,
// it can only wait; a spinning host retries with no rest between, however loaded the machine.
TEST_F(PersonaContextHostTest, RunningOutOfDescriptorsNeitherSpinsNorStopsTheHost) {
    // One slot for a client: its connection waits in the backlog, the host cannot take it.
    ShortOfDescriptors shortage(1);
    ASSERT_TRUE(shortage.taken());
    Client pending(host->port());
    const bool pendingConnected = pending.connected();
    const bool refusedAgain =
        test::eventually([&] { return host->acceptCounts().refused >= 5; });
    const auto counts = host->acceptCounts();

    shortage.restore();
    ASSERT_TRUE(pendingConnected);
    ASSERT_TRUE(refusedAgain) << counts.refused << " refused accepts";
    EXPECT_GE(counts.rests + 1, counts.refused)
        << "accept retried without a rest: " << counts.refused << " refused, " << counts.rests
        << " rests";
    EXPECT_EQ(ask(request(R"({"recipient_handle":"+15550001"})", host->token())).status, 200);
}

// A flood of new connections past the cap: each one's request is read before any connection is
// closed to make room, and a new one gets a grace to send it, so none of the requests is reset.
TEST_F(PersonaContextHostTest, AFloodOfRequestsPastTheCapIsAnsweredWhole) {
    LoopbackPersonaContextHost capped(dir / "shadow.db",
                                      LoopbackPersonaContextHost::Options{10s, 4});
    std::vector<std::future<int>> statuses;
    for (int i = 0; i < 20; ++i) {
        statuses.push_back(std::async(std::launch::async, [&] {
            Client client(capped.port());
            client.send(request(R"({"recipient_handle":"+15550001"})", capped.token()));
            return parse(client.readToEnd().bytes).status;
        }));
    }
    int answered = 0;
    for (auto& status : statuses) {
        answered += status.get() == 200 ? 1 : 0;
    }
    EXPECT_EQ(answered, 20);
}

// Out of descriptors with idle connections open: the quietest one is closed for the connection
// waiting to be accepted, whose request is then answered.
TEST_F(PersonaContextHostTest, OutOfDescriptorsAnIdleConnectionMakesRoomForARequest) {
    // Idle connections are not closed for their silence during the test.
    LoopbackPersonaContextHost patient(dir / "shadow.db",
                                       LoopbackPersonaContextHost::Options{120s, 64});
    const auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator{});
    };
    const auto before = openDescriptors();
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<Client>(patient.port()));
        ASSERT_TRUE(idle.back()->connected());
    }
    // The host holds them once it has a descriptor of its own for each, beside the clients'.
    const auto held = std::chrono::steady_clock::now() + 30s;
    while (openDescriptors() < before + 6 && std::chrono::steady_clock::now() < held) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_GE(openDescriptors(), before + 6);
    // The last descriptor goes to this client: the host cannot accept it without closing one.
    ShortOfDescriptors shortage(1);
    ASSERT_TRUE(shortage.taken());
    Client asking(patient.port());
    const bool connected = asking.connected();
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    bool madeRoom = false;
    while (!madeRoom && std::chrono::steady_clock::now() < deadline) {
        for (const auto& client : idle) {
            madeRoom = madeRoom || client->readToEnd(10ms).closed;
        }
    }
    // Answering reads the database, which needs descriptors of its own.
    shortage.restore();
    ASSERT_TRUE(connected);
    EXPECT_TRUE(madeRoom) << "no idle connection was closed for the waiting one";
    asking.send(request(R"({"recipient_handle":"+15550001"})", patient.token()));
    EXPECT_EQ(parse(asking.readToEnd().bytes).status, 200);
}

TEST_F(PersonaContextHostTest, TokensDifferingAnywhereAreRefused) {
    const std::string token = host->token();
    for (const std::size_t at : {std::size_t{0}, token.size() / 2, token.size() - 1}) {
        std::string wrong = token;
        wrong[at] = wrong[at] == 'a' ? 'b' : 'a';
        EXPECT_EQ(ask(request(R"({"recipient_handle":"+15550001"})", wrong)).status, 401) << at;
    }
    EXPECT_EQ(ask(request(R"({"recipient_handle":"+15550001"})", token + "0")).status, 401);
    EXPECT_EQ(ask(request(R"({"recipient_handle":"+15550001"})", token.substr(1))).status, 401);
}

}  // namespace
}  // namespace vask
