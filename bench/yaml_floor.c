/* The floor under a YAML listing: libyaml's parse of FILE, every event with
 * its marks read, as the native listing reads them, and nothing printed.
 *
 *     yaml-floor FILE
 */
#include <stdio.h>
#include <stdlib.h>

#include <yaml.h>

int
main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: yaml-floor FILE\n");
        return 2;
    }
    FILE *file = fopen(argv[1], "rb");
    if (file == NULL) {
        perror(argv[1]);
        return 2;
    }
    yaml_parser_t parser;
    yaml_parser_initialize(&parser);
    yaml_parser_set_input_file(&parser, file);
    size_t events = 0, marks = 0;
    for (;;) {
        yaml_event_t event;
        if (!yaml_parser_parse(&parser, &event)) {
            fprintf(stderr, "%s: %s\n", argv[1], parser.problem);
            return 1;
        }
        events++;
        marks += event.start_mark.index + event.end_mark.index;
        int over = event.type == YAML_STREAM_END_EVENT;
        yaml_event_delete(&event);
        if (over) {
            break;
        }
    }
    yaml_parser_delete(&parser);
    fclose(file);
    return events == 0 && marks == 0;
}
