#pragma once

#include <functional>
#include <string>

#include "node/block_work.h"
#include "node/work_assembly.h"

// Between two blocks a node answers the same getblocktemplate bytes until its
// curtime ticks, and the loop fetches many times a second. Assembling a
// large template again (parse, hex, merkle tree) costs tens of milliseconds
// of the thread beside the search for nothing, so valid work is kept with
// the two replies it came from and handed out again while both repeat.
struct ReusableWork {
  std::string template_reply;
  std::string address_reply;
  AnnouncedWork assembled;  // valid, or nothing kept yet
};

using WorkAssembler =
    std::function<AnnouncedWork(const std::string& template_reply, const AddressFetch& fetch_address_reply)>;

// One get_work: fetches the template, then the address reply (every time,
// in that order, as without reuse), and returns the kept work when both are
// byte for byte the replies it was assembled from; otherwise assembles
// afresh and keeps the result when it is valid. Either way a valid work
// comes with its "New block" line, for the caller to print. When the
// template differs the address is fetched only if `assemble` asks for it, as
// it would without reuse. An address call given up on gives invalid work and
// no line.
AnnouncedWork reuse_or_assemble(ReusableWork& last, const std::function<std::string()>& fetch_template,
                            const AddressFetch& fetch_address, const WorkAssembler& assemble);
