// TEMPORARY stand-in, removed once the library provides
// simplify_and_expand_filename: its declaration for the installer.
#ifndef VNINSTALL_SIMPLIFY_STANDIN_H
#define VNINSTALL_SIMPLIFY_STANDIN_H

namespace vn {

char* simplify_and_expand_filename(const char* text);

}  // namespace vn

#endif  // VNINSTALL_SIMPLIFY_STANDIN_H
