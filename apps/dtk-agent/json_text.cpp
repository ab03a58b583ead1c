#include "json_text.h"

namespace agent {

std::string JsonObject::Text() const {
    return m_object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace agent
