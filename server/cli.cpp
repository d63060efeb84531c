#include "server/cli.h"

#include <pthread.h>
#include <signal.h>

#include <charconv>
#include <cstdint>
#include <ostream>

#include "core/clock.h"
#include "server/http_server.h"
#include "server/password.h"
#include "server/service.h"
#include "server/store.h"

namespace orv::server {
namespace {

constexpr const char* kUsage =
    "usage:\n"
    "  orvantel-directory serve --db DB [--listen HOST:PORT] [--hash-memory-kib N]\n"
    "                           [--hash-iterations N] [--threads N] [--checks-per-address N]\n"
    "                           [--check-queue N] [--no-address-cache] [--proxy-from ADDR]...\n"
    "                           [--reach-timeout-ms N]\n"
    "  orvantel-directory copy --db FROM --to TO\n"
    "  orvantel-directory admin --db DB COMMAND ...\n"
    "    set-mode NAME normal|warn|relay\n"
    "    create-org NAME --password P [--member M [--number N] [--kind K]]...\n"
    "    add-member ORG --member M [--number N] [--kind K]\n"
    "    remove-member ORG --member M\n"
    "    list-users\n"
    "    list-members ORG\n"
    "DB is sqlite:PATH, a plain PATH (SQLite), or postgresql://USER@HOST:PORT/NAME\n";

template <typename T>
bool parseUnsigned(const std::string& text, T* out) {
    if (text.empty()) return false;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return ec == std::errc{} && ptr == text.data() + text.size();
}

bool splitListen(const std::string& listen, std::string* host, uint16_t* port) {
    std::size_t colon = listen.rfind(':');
    if (colon == std::string::npos) return false;
    *host = listen.substr(0, colon);
    if (host->size() >= 2 && host->front() == '[' && host->back() == ']') {
        *host = host->substr(1, host->size() - 2);
    }
    return !host->empty() && parseUnsigned(listen.substr(colon + 1), port);
}

// A connection URI without its password, for messages.
std::string redacted(const std::string& db) {
    std::size_t scheme = db.find("://");
    if (scheme == std::string::npos) return db;
    std::size_t at = db.find('@', scheme);
    std::size_t colon = db.find(':', scheme + 3);
    if (at == std::string::npos || colon == std::string::npos || colon > at) return db;
    return db.substr(0, colon + 1) + "***" + db.substr(at);
}

struct CommonOptions {
    std::string db;
    uint32_t memoryKib = HashCost{}.memoryKib;
    uint32_t iterations = HashCost{}.iterations;
    std::string listen = "127.0.0.1:8080";
    int threads = 0;
    std::size_t checksPerAddress = HttpServerOptions{}.checksPerAddress;
    std::size_t checkQueue = HttpServerOptions{}.checkQueue;
    bool addressCache = true;
    // How long a login's listener gets to accept the directory's test connection; 0: no test.
    uint32_t reachTimeoutMs = 3000;
    std::vector<std::string> proxyFrom;
    std::string to;  // copy's destination
    std::vector<std::string> rest;
};

// Reads the options shared by both subcommands; anything else is left in `rest` in order.
bool parseCommon(const std::vector<std::string>& args, std::size_t from, CommonOptions* o,
                 std::ostream& err) {
    for (std::size_t i = from; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* v) {
            if (i + 1 >= args.size()) {
                err << a << " needs a value\n";
                return false;
            }
            *v = args[++i];
            return true;
        };
        std::string v;
        if (a == "--db") {
            if (!value(&o->db)) return false;
        } else if (a == "--proxy-from") {
            if (!value(&v)) return false;
            o->proxyFrom.push_back(v);
        } else if (a == "--no-address-cache") {
            o->addressCache = false;
        } else if (a == "--to") {
            if (!value(&o->to)) return false;
        } else if (a == "--checks-per-address" || a == "--check-queue") {
            std::size_t* target = a == "--check-queue" ? &o->checkQueue : &o->checksPerAddress;
            if (!value(&v) || !parseUnsigned(v, target) || *target == 0) {
                err << "bad " << a << "\n";
                return false;
            }
        } else if (a == "--listen") {
            if (!value(&o->listen)) return false;
        } else if (a == "--hash-memory-kib") {
            if (!value(&v) || !parseUnsigned(v, &o->memoryKib)) {
                err << "bad --hash-memory-kib\n";
                return false;
            }
        } else if (a == "--hash-iterations") {
            if (!value(&v) || !parseUnsigned(v, &o->iterations) || o->iterations == 0) {
                err << "bad --hash-iterations\n";
                return false;
            }
        } else if (a == "--reach-timeout-ms") {
            if (!value(&v) || !parseUnsigned(v, &o->reachTimeoutMs)) {
                err << "bad --reach-timeout-ms\n";
                return false;
            }
        } else if (a == "--threads") {
            if (!value(&v) || !parseUnsigned(v, &o->threads)) {
                err << "bad --threads\n";
                return false;
            }
        } else {
            o->rest.push_back(a);
        }
    }
    if (o->db.empty() || !parseStoreLocation(o->db)) {
        err << "--db DB is required\n";
        return false;
    }
    return true;
}

int serve(const CommonOptions& o, std::ostream& out, std::ostream& err) {
    if (!o.rest.empty()) {
        err << "unknown argument " << o.rest.front() << "\n" << kUsage;
        return 2;
    }
    HttpServerOptions options;
    if (!splitListen(o.listen, &options.address, &options.port)) {
        err << "bad --listen value " << o.listen << " (want HOST:PORT)\n";
        return 2;
    }
    options.networkThreads = o.threads;
    options.workerThreads = o.threads;
    options.checksPerAddress = o.checksPerAddress;
    options.checkQueue = o.checkQueue;
    options.proxyProtocolFrom = o.proxyFrom;
    options.reachProbeTimeout = std::chrono::milliseconds(o.reachTimeoutMs);

    // Block the stop signals before any thread starts, so that only sigwait() below sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::string error;
    auto stores =
        StorePool::open(*parseStoreLocation(o.db), HttpServer::storeConnectionsNeeded(options),
                        &error, o.addressCache);
    if (!stores) {
        err << "cannot open database " << redacted(o.db) << ": " << error << "\n";
        return 1;
    }
    PasswordHasher hasher(HashCost{o.memoryKib, o.iterations});
    SystemClock clock;
    DirectoryService service(*stores, hasher, clock);
    auto server = HttpServer::start(service, options, &error);
    if (!server) {
        err << error << "\n";
        return 1;
    }
    out << "listening on " << options.address << ":" << server->port() << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server->stop();
    out << "stopped" << std::endl;
    return 0;
}

// Reads "--member M [--number N] [--kind K]" groups.
struct MemberSpec {
    std::string name;
    int64_t number = 0;
    int kind = 0;
};

bool parseMembers(const std::vector<std::string>& args, std::size_t from,
                  std::vector<MemberSpec>* members, std::string* password, std::ostream& err) {
    for (std::size_t i = from; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (i + 1 >= args.size()) {
            err << a << " needs a value\n";
            return false;
        }
        const std::string& v = args[++i];
        if (a == "--member") {
            members->push_back(MemberSpec{v});
        } else if (a == "--password" && password) {
            *password = v;
        } else if (a == "--number" || a == "--kind") {
            if (members->empty()) {
                err << a << " must follow --member\n";
                return false;
            }
            uint32_t n = 0;
            if (!parseUnsigned(v, &n) || (a == "--kind" && n > 8)) {
                err << "bad " << a << " " << v << " (kind is 0 to 8)\n";
                return false;
            }
            if (a == "--number") {
                members->back().number = n;
            } else {
                members->back().kind = static_cast<int>(n);
            }
        } else {
            err << "unknown argument " << a << "\n";
            return false;
        }
    }
    return true;
}

const char* modeName(const std::string& mode) {
    if (mode == "1") return "warn";
    if (mode == "2") return "relay";
    return "normal";
}

// Adds co-members after checking that each one is an account.
int addMembers(Store& store, std::string_view org, const std::vector<MemberSpec>& members,
               std::ostream& out, std::ostream& err) {
    for (const auto& m : members) {
        std::optional<Account> account;
        if (!store.findAccount(m.name, &account)) {
            err << "database error\n";
            return 1;
        }
        if (!account) {
            err << "no account " << m.name << "\n";
            return 1;
        }
        if (store.addOrgMember(org, account->name, m.number, m.kind) != DbResult::Ok) {
            err << "database error\n";
            return 1;
        }
        out << "member " << account->name << " of " << org << ": number " << m.number << ", kind "
            << m.kind << "\n";
    }
    return 0;
}

}  // namespace

int runAdminCommand(const std::string& db, const std::vector<std::string>& args,
                    uint32_t hashMemoryKib, uint32_t hashIterations, std::ostream& out,
                    std::ostream& err) {
    if (args.empty()) {
        err << kUsage;
        return 2;
    }
    auto where = parseStoreLocation(db);
    if (!where) {
        err << "bad --db value\n";
        return 2;
    }
    std::string error;
    auto store = openStore(*where, &error);
    if (!store) {
        err << "cannot open database " << redacted(db) << ": " << error << "\n";
        return 1;
    }
    const std::string& command = args[0];

    if (command == "set-mode") {
        if (args.size() != 3) {
            err << "usage: set-mode NAME normal|warn|relay\n";
            return 2;
        }
        AccountMode mode;
        if (args[2] == "normal") {
            mode = AccountMode::Normal;
        } else if (args[2] == "warn") {
            mode = AccountMode::Warn;
        } else if (args[2] == "relay") {
            mode = AccountMode::Relay;
        } else {
            err << "mode must be normal, warn or relay\n";
            return 2;
        }
        switch (store->setMode(args[1], mode)) {
            case DbResult::Ok:
                out << args[1] << ": " << args[2] << "\n";
                return 0;
            case DbResult::NotFound:
                err << "no account " << args[1] << "\n";
                return 1;
            default:
                err << "database error\n";
                return 1;
        }
    }

    if (command == "create-org") {
        if (args.size() < 2) {
            err << "usage: create-org NAME --password P [--member M ...]\n";
            return 2;
        }
        const std::string& name = args[1];
        if (!isValidUserName(name, true)) {
            err << "an organisation account is ORG/NAME, without spaces, control bytes or |\n";
            return 2;
        }
        std::string password;
        std::vector<MemberSpec> members;
        if (!parseMembers(args, 2, &members, &password, err)) return 2;
        PasswordHasher hasher(HashCost{hashMemoryKib, hashIterations});
        auto hash = hasher.hash(password);
        if (!hash) {
            err << "hashing failed\n";
            return 1;
        }
        switch (store->createAccount(name, *hash, "", AccountMode::Normal,
                                     SystemClock().nowSeconds())) {
            case DbResult::Ok:
                break;
            case DbResult::Conflict:
                err << "account " << name << " exists\n";
                return 1;
            default:
                err << "database error\n";
                return 1;
        }
        out << "created " << name << "\n";
        return addMembers(*store, organisationOf(name), members, out, err);
    }

    if (command == "add-member" || command == "remove-member" || command == "list-members") {
        if (args.size() < 2 || organisationOf(args[1]).empty()) {
            err << "usage: " << command << " ORG/ ...\n";
            return 2;
        }
        std::string_view org = organisationOf(args[1]);
        if (command == "list-members") {
            Rows rows;
            if (!store->listOrgMembers(org, &rows)) {
                err << "database error\n";
                return 1;
            }
            for (const auto& r : rows)
                out << r[0] << " number " << r[1] << " kind " << r[2] << "\n";
            return 0;
        }
        std::vector<MemberSpec> members;
        if (!parseMembers(args, 2, &members, nullptr, err)) return 2;
        if (members.empty()) {
            err << "--member M is required\n";
            return 2;
        }
        if (command == "add-member") return addMembers(*store, org, members, out, err);
        for (const auto& m : members) {
            switch (store->removeOrgMember(org, m.name)) {
                case DbResult::Ok:
                    out << "removed " << m.name << " from " << org << "\n";
                    break;
                case DbResult::NotFound:
                    err << m.name << " is not a member of " << org << "\n";
                    return 1;
                default:
                    err << "database error\n";
                    return 1;
            }
        }
        return 0;
    }

    if (command == "list-users") {
        Rows rows;
        if (!store->listAccounts(&rows)) {
            err << "database error\n";
            return 1;
        }
        for (const auto& r : rows) {
            out << r[0] << " " << modeName(r[1]) << (r[2].empty() ? "" : " " + r[2]) << "\n";
        }
        return 0;
    }

    err << "unknown admin command " << command << "\n" << kUsage;
    return 2;
}

namespace {

// Export and import: every row of one store into another, empty one.
int copyCommunity(const CommonOptions& o, std::ostream& out, std::ostream& err) {
    auto from = parseStoreLocation(o.db);
    auto to = parseStoreLocation(o.to);
    if (!o.rest.empty() || !from || !to) {
        err << "usage: orvantel-directory copy --db FROM --to TO\n";
        return 2;
    }
    std::string error;
    auto source = openStore(*from, &error);
    if (!source) {
        err << "cannot open database " << redacted(o.db) << ": " << error << "\n";
        return 1;
    }
    auto target = openStore(*to, &error);
    if (!target) {
        err << "cannot open database " << redacted(o.to) << ": " << error << "\n";
        return 1;
    }
    Snapshot snapshot;
    if (!source->exportAll(&snapshot)) {
        err << "cannot read " << redacted(o.db) << "\n";
        return 1;
    }
    switch (target->importAll(snapshot)) {
        case DbResult::Ok:
            break;
        case DbResult::Conflict:
            err << redacted(o.to) << " already holds accounts; copy into an empty database\n";
            return 1;
        default:
            err << "cannot write " << redacted(o.to) << "\n";
            return 1;
    }
    out << "copied " << snapshot.accounts.size() << " accounts, " << snapshot.groups.size()
        << " groups, " << snapshot.memberships.size() << " membership records, "
        << snapshot.orgMembers.size() << " co-members, " << snapshot.signs.size()
        << " sign records\n";
    return 0;
}

}  // namespace

int runDirectoryCommand(const std::vector<std::string>& args, std::ostream& out,
                        std::ostream& err) {
    if (args.size() < 2 || (args[1] != "serve" && args[1] != "admin" && args[1] != "copy")) {
        err << kUsage;
        return 2;
    }
    CommonOptions o;
    if (!parseCommon(args, 2, &o, err)) {
        err << kUsage;
        return 2;
    }
    if (args[1] == "serve") return serve(o, out, err);
    if (args[1] == "copy") return copyCommunity(o, out, err);
    return runAdminCommand(o.db, o.rest, o.memoryKib, o.iterations, out, err);
}

}  // namespace orv::server
