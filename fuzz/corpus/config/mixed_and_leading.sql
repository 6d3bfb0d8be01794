{{- config({'a': 1}, style='view') -}}
{{ config({'style': var('s'), 'style': 2}) }}
{{ config('m', {'a'}) }}
{{ config(
    alias = 'x'
    , style = 'view'
) }}
select 1
