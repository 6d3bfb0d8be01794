{% if a %}{% macro m %}x{% else %}y{% endmacro %} -- {% endif %}
select 1; (select 2; select 3
