/* The payload as shipped: the builder. Kept in assembly so that no compiler can fold
   its bytes into the code, and so that the build key is spelled exactly once. */

#define CONCAT2(a, b) a##b
#define CONCAT(a, b) CONCAT2(a, b)
#define SYM(name) CONCAT(__USER_LABEL_PREFIX__, name)

/* Placeholder chip profile: LEN bytes of a pattern seeded by SEED, so that every block
   differs from the others. The drive maker's real profiles replace these. */
.macro profile len, seed, lead=0
  .if \lead
    .byte 0x7A, 0x07, 0x00, 0xFF, 0xFF, 0x00, 0x01, 0x00
    kf_n = \len - 8
  .else
    kf_n = \len
  .endif
  kf_i = 0
  .rept kf_n
    .byte ((\seed) + kf_i * 37 + (kf_i >> 7)) & 0xFF
    kf_i = kf_i + 1
  .endr
.endm

.macro text25 str
  9: .ascii "\str"
  .fill 25 - (. - 9b), 1, 0
.endm

#define IMAGE(offset) (SYM(FlashPayload) + 5800 + (offset))

  .data
  .balign 16
  .globl SYM(FlashPayload)
#ifdef __ELF__
  .type SYM(FlashPayload), @object
  .size SYM(FlashPayload), 5800 + 524288 + 4
#endif
SYM(FlashPayload):
  /* ChipProfiles: one block per chip table entry; entry 2 shares the block of entry 3. */
  profile 314, 0x11, 1
  profile 452, 0x23, 1
  profile 1280, 0x35
  profile 1280, 0x47
  profile 1000, 0x59
  profile 1280, 0x6B

  /* ChipTable: chip id, profile length (big-endian), extended id. */
  .byte 0xDA, 0xC8, 0x01, 0x3A, 0x00, 0x00
  .byte 0xBF, 0xB4, 0x01, 0xC4, 0x00, 0x00
  .byte 0xBF, 0xD6, 0x05, 0x00, 0x00, 0x01
  .byte 0xBF, 0xB6, 0x05, 0x00, 0x00, 0x01
  .byte 0x37, 0x8C, 0x05, 0x00, 0x00, 0x01
  .byte 0xBF, 0xD7, 0x03, 0xE8, 0x00, 0x01
  .byte 0x37, 0x0D, 0x05, 0x00, 0x00, 0x01

  /* BuildKey */
  .ascii "Q731-4-2260958"
  .byte 0

  /* BuildHeader */
  text25 "KRW-52088S"
  text25 "KOR-VEL KRW-52088S"
  text25 "QF01-QF2Z"
  text25 "Korvel-XQ"
  text25 "Korvel"
  .ascii "QF05."
  .byte 0, 0, 0
  .long 0x80000

  /* FirmwareImage: the builder's area begins with the tail mark bytes. */
  .ascii "QIRM"
  .fill IMAGE(0x1100) - ., 1, 0
  .byte 0x00, 0x00
  .fill IMAGE(0x4000) - ., 1, 0
  .byte 0x02, 0xAE
  .fill IMAGE(0x4008) - ., 1, 0
  .byte 0x82, 0x00
  .fill IMAGE(0x80000 - 8) - ., 1, 0
  .ascii "KORVELXQ"

  /* TailMark */
  .ascii "QIRM"

#ifdef __ELF__
  .section .note.GNU-stack, "", @progbits
#endif
