// Types that passed a check, with the version tag they had then: any change
// to a type or its bases gives it a new tag, and so a new check.
#pragma once

#include <unordered_map>

#include "capi/ref.hpp"

namespace lineage {

class CheckedTypes {
public:
    bool known(PyTypeObject* type) const {
        auto seen = tags_.find(type);
        return seen != tags_.end() && type->tp_version_tag != 0 &&
               seen->second == type->tp_version_tag;
    }
    void remember(PyTypeObject* type) {
        if (PyUnstable_Type_AssignVersionTag(type)) {
            tags_[type] = type->tp_version_tag;
        }
    }
    void clear() { tags_.clear(); }

private:
    std::unordered_map<PyTypeObject*, unsigned int> tags_;
};

}  // namespace lineage
