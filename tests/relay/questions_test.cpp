#include "relay/questions.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "relay/observer.h"
#include "relay/observer_slot.h"

namespace {

// Answers the pass-phrase question slowly, as a person would, and counts the questions.
class SlowPerson final : public relay::RelayObserver {
 public:
  void logLine(const logging::LogLine&) override {}
  std::string askPassphrase(const std::string& prompt) override {
    prompts.push_back(prompt);
    ++asked;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return "typed";
  }
  bool askClientCertificate(const std::string&, relay::ClientCredentials*) override {
    return false;
  }
  std::atomic<int> asked{0};
  std::vector<std::string> prompts;  // written by the one thread asking at a time
};

TEST(Questions, OneQuestionServesEveryWaitingThreadUntilClearKeys) {
  relay::ObserverSlot slot;
  relay::Questions questions(&slot);
  SlowPerson person;
  slot.attach(&person, false);
  std::vector<std::string> answers(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < answers.size(); ++i) {
    threads.emplace_back([&answers, &questions, i] {
      char buf[32] = {};
      const int n = relay::sharedPasswordCallback(buf, sizeof buf, 0, &questions);
      answers[i] = std::string(buf, static_cast<size_t>(n));
    });
  }
  // Clear Keys from another thread meanwhile does not wait for the person.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = std::chrono::steady_clock::now();
  questions.clearKeys();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  for (std::thread& t : threads) t.join();
  // The Clear Keys may have come before or after the first answer was remembered.
  EXPECT_GE(person.asked.load(), 1);
  EXPECT_LE(person.asked.load(), 2);
  for (const std::string& a : answers) EXPECT_EQ(a, "typed");
  EXPECT_EQ(person.prompts.front(), "");

  const int before = person.asked.load();
  EXPECT_EQ(questions.askPassphrase(""), "typed");  // remembered
  EXPECT_EQ(person.asked.load(), before);
  questions.clearKeys();
  EXPECT_EQ(questions.askPassphrase("Enter PKCS12 Certificate password"), "typed");
  EXPECT_EQ(person.asked.load(), before + 1);
  EXPECT_EQ(person.prompts.back(), "Enter PKCS12 Certificate password");
  slot.withdraw();
  questions.clearKeys();
}

}  // namespace
