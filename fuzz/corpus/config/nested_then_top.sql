{% if x %}{{ config(a=1) }}{% endif %}
{{ config(b=2) }} -- c
