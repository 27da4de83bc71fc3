#include "node/work_reuse.h"

#include <utility>

AnnouncedWork reuse_or_assemble(ReusableWork& last, const std::function<std::string()>& fetch_template,
                            const AddressFetch& fetch_address, const WorkAssembler& assemble) {
  std::string template_reply = fetch_template();
  std::optional<std::string> address_reply;
  bool address_fetched = false;
  if (last.assembled.work.valid && template_reply == last.template_reply) {
    // The template passed every check last time, so assembly would ask for
    // the address now anyway: asking first changes no request.
    address_reply = fetch_address();
    address_fetched = true;
    if (!address_reply) return AnnouncedWork{};
    if (*address_reply == last.address_reply) return last.assembled;
  }

  AnnouncedWork fresh = assemble(template_reply, [&] {
    if (!address_fetched) {
      address_reply = fetch_address();
      address_fetched = true;
    }
    return address_reply;
  });
  if (!fresh.work.valid) return fresh;
  last.template_reply = std::move(template_reply);
  last.address_reply = std::move(*address_reply);  // valid work had one
  last.assembled = std::move(fresh);
  return last.assembled;
}
