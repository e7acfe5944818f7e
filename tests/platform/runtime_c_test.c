/*
 * A C program on the installed headers: it gets a handle through
 * drov_def/runtime.h, makes, fills, encodes, decodes and destroys a
 * vm_act_rsp, and frees the handle; then the same on a pooled handle.
 * Exits 0 when everything held.
 */
#include <stdio.h>
#include <string.h>

#include <drov_def/drov_def.h>
#include <drov_def/runtime.h>

/* From runtime_c89.c: a pooled handle whose domain gives vm_act_rsp
 * variant 1, set up by a translation unit that sees only runtime.h. */
struct qel_handle *make_pooled_handle(void);

static int failures = 0;

static void check(int ok, const char *what) {
    if (ok) return;
    fprintf(stderr, "FAIL: %s\n", what);
    ++failures;
}

/* One round trip on `h`; `variant` is what the instances must carry. */
static void round_trip(qel_handle_t *h, int8_t variant) {
    uint32_t err = 0, n;
    uint8_t buf[512];
    vm_act_rsp_t *rsp = vm_act_rsp_create(h, 7), *got = vm_act_rsp_create(h, 7);

    check(rsp != NULL && got != NULL, "create");
    if (rsp == NULL || got == NULL) return;
    /* the instance header: the record's address, then the instance variant */
    check(((const int8_t *)(const void *)rsp)[sizeof(void *)] == variant, "the handle's variant");
    vm_act_rsp_vm_name_set(h, 7, rsp, "web01", 5, &err);
    n = vm_act_rsp_marshal(h, 7, buf, rsp, (int32_t)sizeof buf, &err);
    check(err == 0 && n > 0 && n == vm_act_rsp_len(h, 7, rsp), "marshal");
    check(vm_act_rsp_unmarshal(h, 7, buf, got, (int32_t)n, 0, &err) == n && err == 0, "unmarshal");
    check(vm_act_rsp_compare(rsp, got) == 0, "the decoded message equals the encoded one");
    vm_act_rsp_destroy(h, 7, got);
    vm_act_rsp_destroy(h, DROV_DEF_CTX_NONE, rsp);
    check(drov_def_runtime_live_blocks(h) == 0, "every block returned");
}

int main(void) {
    qel_handle_t *h = drov_def_runtime_new();
    check(h != NULL, "drov_def_runtime_new");
    if (h == NULL) return 1;
    round_trip(h, 2); /* the highest variant by default */
    drov_def_runtime_free(h);

    h = make_pooled_handle();
    check(h != NULL, "a pooled handle");
    if (h != NULL) {
        round_trip(h, 1);
        drov_def_runtime_free(h);
    }
    if (failures == 0) printf("runtime_c_test: all checks held\n");
    return failures == 0 ? 0 : 1;
}
