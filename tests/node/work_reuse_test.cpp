#include "node/work_reuse.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "template_builder.h"

namespace {

std::string address_reply(const char* script) {
  return std::string("{\"result\":{\"isvalid\":true,\"scriptPubKey\":\"") + script + "\"},\"error\":null,\"id\":1}";
}

// A node whose next replies the test sets, a log of the requests in order,
// and a count of real assemblies.
struct Scene {
  ReusableWork last;
  std::string template_reply;
  std::string address = address_reply("0014aabbccddeeff00112233445566778899aabbccdd");
  std::vector<std::string> requests;
  int assemblies = 0;

  struct Fetch {
    BlockWork work;
    std::string out;
  };

  Fetch get_work() {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Fetch f;
    const AnnouncedWork announced = reuse_or_assemble(
        last,
        [&] {
          requests.push_back("getblocktemplate");
          return template_reply;
        },
        [&] {
          requests.push_back("validateaddress");
          return address;
        },
        [&](const std::string& reply, const AddressFetch& fetch_address) {
          ++assemblies;
          return assemble_work_unannounced(reply, "tmx1reward", fetch_address);
        });
    testing::internal::GetCapturedStderr();
    f.work = announced.work;
    f.out = testing::internal::GetCapturedStdout() + announced.announcement;
    return f;
  }
};

bool same_work(const BlockWork& a, const BlockWork& b) {
  return a.valid == b.valid && std::memcmp(a.header, b.header, 80) == 0 &&
         std::memcmp(a.target, b.target, 32) == 0 && a.height == b.height && a.txn_hex == b.txn_hex;
}

const char kTxid[] = "11112222333344445555666677778888999900001111222233334444555566ab";

}  // namespace

TEST(WorkReuse, RepeatedRepliesReuseTheWorkAndAnyChangedByteReassembles) {
  Scene scene;
  scene.template_reply = TemplateBuilder().add_tx(kTxid, "aabb").reply();
  const Scene::Fetch first = scene.get_work();
  ASSERT_TRUE(first.work.valid);
  EXPECT_EQ(first.out, "New block 500000, 1 txs, target 00000000ffff0000\n");

  // Same bytes twice: same work and line, both requests still made, no assembly.
  const Scene::Fetch repeat = scene.get_work();
  EXPECT_EQ(scene.assemblies, 1);
  EXPECT_TRUE(same_work(repeat.work, first.work));
  EXPECT_EQ(repeat.out, first.out);
  EXPECT_EQ(scene.requests, (std::vector<std::string>{"getblocktemplate", "validateaddress", "getblocktemplate",
                                                      "validateaddress"}));

  // curtime ticks: one byte of the template differs.
  scene.template_reply = TemplateBuilder().add_tx(kTxid, "aabb").set("curtime", json_int_t{1700000001}).reply();
  const Scene::Fetch ticked = scene.get_work();
  EXPECT_EQ(scene.assemblies, 2);
  EXPECT_TRUE(ticked.work.valid);
  EXPECT_FALSE(same_work(ticked.work, first.work));
  EXPECT_TRUE(same_work(ticked.work, assemble_work_unannounced(scene.template_reply, "tmx1reward",
                                                               [&] { return scene.address; }).work));

  // The address reply changes under an unchanged template: the reward
  // script is new, so is the coinbase; the address is asked for once.
  scene.address = address_reply("0014000000000000000000000000000000000000ffff");
  scene.requests.clear();
  const Scene::Fetch new_script = scene.get_work();
  EXPECT_EQ(scene.assemblies, 3);
  EXPECT_EQ(scene.requests, (std::vector<std::string>{"getblocktemplate", "validateaddress"}));
  EXPECT_NE(new_script.work.txn_hex, ticked.work.txn_hex);
}

TEST(WorkReuse, FailuresAreNeitherKeptNorReused) {
  Scene scene;
  scene.template_reply = TemplateBuilder().reply();
  const Scene::Fetch good = scene.get_work();
  ASSERT_TRUE(good.work.valid);

  // A refused template makes no address request and leaves the kept work.
  scene.template_reply = TemplateBuilder().erase("bits").reply();
  scene.requests.clear();
  const Scene::Fetch refused = scene.get_work();
  EXPECT_FALSE(refused.work.valid);
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(scene.requests, std::vector<std::string>{"getblocktemplate"});

  // An unusable address reply under the kept template is not covered by it.
  scene.template_reply = TemplateBuilder().reply();
  scene.address = "{\"result\":null,\"error\":null,\"id\":1}";
  EXPECT_FALSE(scene.get_work().work.valid);
  EXPECT_FALSE(scene.get_work().work.valid);

  // Once both replies are back, the kept work serves again.
  scene.address = address_reply("0014aabbccddeeff00112233445566778899aabbccdd");
  const int assemblies = scene.assemblies;
  const Scene::Fetch back = scene.get_work();
  EXPECT_EQ(scene.assemblies, assemblies);
  EXPECT_TRUE(same_work(back.work, good.work));
  EXPECT_EQ(back.out, good.out);
}
