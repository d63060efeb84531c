#pragma once
// Password hashing with argon2id. The cost is a setting of the running server, so tests can use
// a tiny one; every stored hash carries its own parameters and verifies whatever the setting is.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orv::server {

struct HashCost {
    uint32_t memoryKib = 65536;
    uint32_t iterations = 3;
};

class PasswordHasher {
  public:
    explicit PasswordHasher(HashCost cost);

    // An encoded "$argon2id$..." text with a fresh random salt; nullopt if hashing failed.
    std::optional<std::string> hash(std::string_view password) const;

    // Constant-time check of a password against an encoded hash.
    bool verify(std::string_view encoded, std::string_view password) const;

    // Spends the same work as verify() for a user that does not exist, so that the reply time
    // does not tell which names are taken.
    void verifyNobody(std::string_view password) const;

    const HashCost& cost() const { return cost_; }

  private:
    HashCost cost_;
    std::string dummy_;
};

}  // namespace orv::server
