// The selector language of subkey searches: which of a key's subkeys a filter text selects.
// Thread safety: a plain function without state.
#pragma once

#include <string>

#include "ini.h"

// Whether the subkey whose group is `group` is selected by `filter`. The filter is not a
// pattern: the rules below look for fixed words in it, and the first rule that applies decides.
// "Contains" is a byte-exact, case-sensitive substring search; W is each of the repository
// words "d_rep", "dpc_rep" and "dsr_rep", with its star form W* and its variant names W_default
// and W_common; G is the group's name.
//
// | rule | applies when                                              | decision               |
// |------|-----------------------------------------------------------|------------------------|
// | 1    | the filter is exactly "(key=*)", G is not the component   | select                 |
// |      | list "/ZOR_Software/qel4ds/Config/component_info"         |                        |
// | 2    | the filter contains "repositoryname", the group has an    | select when the text   |
// |      | entry "repositoryname" (any case)                         | after the filter's "=" |
// |      |                                                           | is the value and ")"   |
// | 3    | for some W: the filter contains W*, G contains W and      | select                 |
// |      | neither variant name of W                                 |                        |
// | 4    | the filter contains "external", G a repository word and   | select                 |
// |      | no variant name                                           |                        |
// | 5    | the filter holds no star form and no "repositoryname",    | select                 |
// |      | G contains a variant name                                 |                        |
// | 6    | otherwise                                                 | skip                   |
//
// So "(key=*)" selects every subkey but the component list; "(repositoryname=R1)" those whose
// entry is R1; "d_rep*" those named with d_rep but not a variant; "external" every repository;
// any other filter, "*" included, only the variants.
// `store` is asked for the group's entries only where rule 2 needs them.
bool SubkeySelected(const std::string& filter, const std::string& group, const Ini& store);
// The same with the group's "repositoryname" entry as stored (null when it has none), for keys
// whose entries come from more than one store.
bool SubkeySelected(const std::string& filter, const std::string& group,
                    const std::string* repository_name);
