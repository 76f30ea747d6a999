/* File version of our programs: an ELF note (owner "Kettrin", type 1) holding
   the four numbers major, minor, build, revision as 32-bit words. */
#include "KettrinVersion.h"
	.pushsection .note.kettrin.version, "a", @note
	.balign 4
	.long 8                      /* name size, NUL included */
	.long 16                     /* descriptor size */
	.long 1                      /* note type: file version */
	.asciz "Kettrin"
	.balign 4
	.long KETTRIN_VERSION_MAJOR, KETTRIN_VERSION_MINOR, KETTRIN_VERSION_PATCH, KETTRIN_VERSION_TWEAK
	.popsection
	.section .note.GNU-stack, "", @progbits
