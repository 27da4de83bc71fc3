#pragma once

#include <functional>
#include <optional>
#include <string>

#include "node/block_work.h"

// Performs the validateaddress call: its reply, or nothing when the call
// was given up on (a stop), after which assembly fails without a word.
using AddressFetch = std::function<std::optional<std::string>()>;

// Turns a getblocktemplate reply into work. `fetch_address_reply` performs
// the validateaddress call for `coinbase_addr`; it is called at most once,
// and only after every check that needs nothing but the template has passed,
// so a template that is refused for itself costs no second request. The one
// check left for after the call is the coinbase's total length, which
// depends on the reward script it returns. Every failure is reported by one
// line on stderr and returns work whose `valid` is false; an empty template
// reply fails silently (the transport has already spoken). A reply that
// carries an error member first gets the node's own words on stderr. Safe on
// any input bytes. Prints the "New block" line of valid work to stdout.
BlockWork assemble_work(const std::string& template_reply, const std::string& coinbase_addr,
                        const AddressFetch& fetch_address_reply);

// Work with the "New block" line that announces it, newline included; the
// line is empty when the work is not valid.
struct AnnouncedWork {
  BlockWork work;
  std::string announcement;
};

// As assemble_work, with the line returned instead of printed, so that work
// kept for reuse can be announced again exactly as it was.
AnnouncedWork assemble_work_unannounced(const std::string& template_reply, const std::string& coinbase_addr,
                                        const AddressFetch& fetch_address_reply);
